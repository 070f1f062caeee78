// The payload builder, natively: what it writes reads back as the setup reads it, the same inputs
// give the same bytes, and every kind of bad input gets one message naming the file and line.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "builder.h"
#include "lzms_test_data.h"
#include "payload/lzms/buffer_format.h"
#include "payload/payload_format.h"
#include "base/text.h"
#include "script/script.h"
#include "sha256_portable.h"

namespace zs::test {
namespace {

namespace fs = std::filesystem;

const char kSetup[] =
    "[Setup]\n"
    "AppId = 7D2B4E91-5C3A-4F08-B6E1-0A9C3D5F7E24\n"
    "AppName = Zelvan\n"
    "AppVersion = {#Version}\n"
    "Publisher = Brightmoor\n"
    "PublisherUrl = https://www.brightmoor.example/\n"
    "SupportUrl = https://www.brightmoor.example/support\n"
    "UpdatesUrl = https://www.brightmoor.example/zelvan/download\n"
    "DefaultDir = {pf}\\Zelvan\n"
    "MinDotNet = 528040\n"
    "MinWindows = 6.3\n"
    "ThemeFile = {appdata}\\Zelvan\\settings.ini\n"
    "LicenseTicked = no\n"
    "FileVersion = 2.5.0.1412\n"
    "LicenseFile = licence.txt\n"
    "Output = ZelvanSetup.exe\n";

class BuilderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zsbuild-test-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "app" / "Themes");
    write("licence.txt", "Licence line one\nline two\r\nline three\n");
    write("Zelvan.exe", std::string(reinterpret_cast<const char*>(randomBytes(70000, 3).data()), 70000));
    write("app/Zelvan.exe.config", "<configuration />\r\n");
    write("app/Themes/Dark.zlth", "dark");
    write("app/Themes/Light.zlth", "light");
    write("app/Themes/Old.zlth.bak", "old");
    write("settings.ini", "[Zelvan]\r\nUI_Theme=System\r\n");
    write("stub.exe", "MZ the setup stub");
  }
  void TearDown() override { fs::remove_all(dir_); }

  void write(const std::string& name, const std::string& bytes) {
    std::ofstream out(dir_ / name, std::ios::binary);
    out << bytes;
  }
  std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string script(const std::string& files, const std::string& extra = "") {
    return "; a comment first\n[Define]\nVersion = 2.5\n\n" + std::string(kSetup) + extra + "\n[Files]\n" + files;
  }

  bool build(const std::string& text, std::string& message, const std::string& out = "payload.bin",
             std::vector<std::pair<std::string, std::string>> defines = {}) {
    write("setup.zss", text);
    build::BuildOptions options;
    options.script = dir_ / "setup.zss";
    options.stub = dir_ / "stub.exe";
    options.payloadOut = dir_ / out;
    options.scriptOut = dir_ / (out + ".zss");
    options.chunkSize = 65536;
    options.jobs = jobs_;
    options.defines = std::move(defines);
    build::BuildReport report;
    return build::buildPayload(options, report, message);
  }

  fs::path dir_;
  unsigned jobs_ = 0;
};

const std::string kGoodFiles =
    "Source: Zelvan.exe; Dest: {app}\\Zelvan.exe\n"
    "Source: app; Dest: {app}; Flags: recurse; Excludes: *.bak\n"
    "Source: settings.ini; Dest: {appdata}\\Zelvan\\settings.ini; Flags: seed\n";

TEST_F(BuilderTest, PayloadReadsBackAsTheSetupReadsIt) {
  std::string message;
  ASSERT_TRUE(build(script(kGoodFiles), message)) << message;
  const std::string payload = read(dir_ / "payload.bin");
  const auto* bytes = reinterpret_cast<const uint8_t*>(payload.data());
  PayloadHeader h;
  ASSERT_TRUE(readPayloadHeader(bytes, payload.size(), h));
  uint8_t digest[32];
  build::sha256Portable(bytes + kPayloadHeaderSize, payload.size() - kPayloadHeaderSize, digest);
  EXPECT_EQ(0, std::memcmp(digest, h.sha256, 32));
  EXPECT_EQ(std::string(payload.data() + 80, 16), std::string(16, '\0')) << "reserved is zero";

  const std::string embedded = payload.substr(kPayloadHeaderSize, h.scriptLength);
  EXPECT_EQ(embedded, read(dir_ / "payload.bin.zss"));
  for (const char* builderOnly : {"Source", "LicenseFile", "Output", "Define", "recurse", "Excludes", "{#", ";"}) {
    const bool comment = std::string(builderOnly) == ";";
    if (comment) {
      EXPECT_EQ(embedded.find("\n;"), std::string::npos) << "comments are left out";
    } else {
      EXPECT_EQ(embedded.find(builderOnly), std::string::npos) << builderOnly;
    }
  }
  const std::string licence = payload.substr(kPayloadHeaderSize + h.scriptLength, h.licenseLength);
  EXPECT_EQ(licence, "Licence line one\r\nline two\r\nline three\r\n");

  SetupScript parsed;
  ScriptError error;
  ASSERT_TRUE(parseSetupScript(embedded, parsed, error)) << wideToUtf8(error.text);
  EXPECT_EQ(parsed.setup.appVersion, L"2.5");
  ASSERT_EQ(parsed.files.size(), 6u);
  const wchar_t* dests[] = {L"{app}\\Zelvan.exe", L"{app}\\Zelvan.exe.config", L"{app}\\Themes\\Dark.zlth",
                            L"{app}\\Themes\\Light.zlth", L"{appdata}\\Zelvan\\settings.ini",
                            L"{app}\\ZelvanUninstall.exe"};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(parsed.files[i].dest, dests[i]);
  EXPECT_TRUE(parsed.files[4].seed);
  EXPECT_EQ(checkFileTiling(parsed.files, h.uncompressedSize), nullptr);

  const std::string block = payload.substr(kPayloadHeaderSize + h.scriptLength + h.licenseLength);
  std::vector<uint8_t> plain(h.uncompressedSize);
  uint64_t needed = 0;
  lzms::BufferDecoder decoder;
  ASSERT_EQ(decoder.decompress(reinterpret_cast<const uint8_t*>(block.data()), block.size(), plain.data(),
                               plain.size(), needed), lzms::BufferResult::Ok);
  const std::string files[] = {read(dir_ / "Zelvan.exe"), "<configuration />\r\n", "dark", "light",
                               read(dir_ / "settings.ini"), "MZ the setup stub"};
  std::string expected;
  for (const std::string& f : files) expected += f;
  EXPECT_EQ(std::string(plain.begin(), plain.end()), expected);
  for (const FileEntry& f : parsed.files) {
    build::sha256Portable(plain.data() + f.off, f.size, digest);
    EXPECT_TRUE(digestEqualsHex(digest, f.sha));
  }
}

TEST_F(BuilderTest, SameInputsGiveTheSameBytes) {
  std::string message;
  ASSERT_TRUE(build(script(kGoodFiles), message, "one.bin")) << message;
  ASSERT_TRUE(build(script(kGoodFiles), message, "two.bin")) << message;
  EXPECT_EQ(read(dir_ / "one.bin"), read(dir_ / "two.bin"));
}

// A folder's files go into the block by type (the extension, without regard to case), then by
// path, whatever order the file system lists them in.
TEST_F(BuilderTest, FolderFilesGoByTypeThenPath) {
  fs::create_directories(dir_ / "mixed" / "sub" / "deeper.d");
  const char* names[] = {"z.dll", "b.TXT", "c", ".hidden", "a.txt", "sub/a.dll", "sub/deeper.d/plain", "A.Dll"};
  for (const char* name : names) write(std::string("mixed/") + name, name);
  std::string message;
  ASSERT_TRUE(build(script("Source: mixed; Dest: {app}; Flags: recurse\n"), message)) << message;
  SetupScript parsed;
  ScriptError error;
  ASSERT_TRUE(parseSetupScript(read(dir_ / "payload.bin.zss"), parsed, error)) << wideToUtf8(error.text);
  const std::wstring expected[] = {L".hidden", L"c", L"sub\\deeper.d\\plain", L"A.Dll", L"sub\\a.dll", L"z.dll",
                                   L"a.txt", L"b.TXT", L"ZelvanUninstall.exe"};
  ASSERT_EQ(parsed.files.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(parsed.files[i].dest, L"{app}\\" + expected[i]) << i;
}

// Chunks compressed at once go out in order: the bytes are those of one worker, however many there
// are, with more or fewer chunks than workers and with compressed and stored chunks mixed.
TEST_F(BuilderTest, ParallelCompressionGivesTheSequentialBytes) {
  auto text = [](const Bytes& b) { return std::string(b.begin(), b.end()); };
  write("app/readme.txt", text(pseudoText(300000, 7)));
  write("app/noise.bin", text(randomBytes(200000, 11)));
  write("app/table.dat", text(countingWords(250000)));
  std::string message;
  jobs_ = 1;
  ASSERT_TRUE(build(script(kGoodFiles), message, "sequential.bin")) << message;
  const std::string sequential = read(dir_ / "sequential.bin");
  ASSERT_GT(sequential.size(), 4u * 65536) << "several chunks";
  for (unsigned jobs : {2u, 3u, 4u, 64u}) {
    jobs_ = jobs;
    ASSERT_TRUE(build(script(kGoodFiles), message, "parallel.bin")) << message;
    EXPECT_EQ(read(dir_ / "parallel.bin"), sequential) << jobs << " jobs";
  }

  const Bytes mixed = [&] {
    Bytes b = pseudoText(400000, 3);
    const Bytes noise = randomBytes(300000, 5);
    const Bytes words = countingWords(300001);
    b.insert(b.end(), noise.begin(), noise.end());
    b.insert(b.end(), words.begin(), words.end());
    return b;
  }();
  for (uint64_t chunkSize : {uint64_t{65536}, uint64_t{99999}, uint64_t{4} << 20}) {
    Bytes one;
    std::string error;
    ASSERT_TRUE(build::compressLzmsBuffer(mixed.data(), mixed.size(), chunkSize, 1, one, error)) << error;
    for (unsigned jobs : {0u, 2u, 5u}) {
      Bytes many;
      ASSERT_TRUE(build::compressLzmsBuffer(mixed.data(), mixed.size(), chunkSize, jobs, many, error)) << error;
      EXPECT_EQ(many, one) << "chunk size " << chunkSize << ", " << jobs << " jobs";
    }
    Bytes plain(mixed.size());
    uint64_t needed = 0;
    lzms::BufferDecoder decoder;
    ASSERT_EQ(decoder.decompress(one.data(), one.size(), plain.data(), plain.size(), needed), lzms::BufferResult::Ok);
    EXPECT_EQ(plain, mixed) << "chunk size " << chunkSize;
  }
}

// The chunk size follows the block's size alone: one chunk up to 16 MiB, else an even number of
// chunks of whole MiB, none over 64 MiB, the last one not empty.
TEST(DefaultChunkSize, FewestEvenChunksOfWholeMiB) {
  const uint64_t mib = uint64_t{1} << 20;
  const struct {
    uint64_t size, chunk;
  } cases[] = {
      {0, 64 * mib},           {1, 64 * mib},          {16 * mib, 64 * mib},
      {16 * mib + 1, 9 * mib}, {34630899, 17 * mib},   {64 * mib, 32 * mib},
      {64 * mib + 1, 33 * mib}, {128 * mib, 64 * mib},  {128 * mib + 1, 33 * mib},
      {197171078, 48 * mib},   {320 * mib, 54 * mib},  {512 * mib, 64 * mib},
  };
  for (const auto& c : cases) {
    const uint64_t chunk = build::defaultChunkSize(c.size);
    EXPECT_EQ(chunk, c.chunk) << c.size;
    const uint64_t count = (c.size + chunk - 1) / chunk;
    EXPECT_TRUE(count <= 1 || count % 2 == 0) << c.size;
    EXPECT_TRUE(c.size <= 16 * mib || count >= 2) << "a large block keeps both cores busy, " << c.size;
    EXPECT_GT(c.size + chunk, count * chunk) << "the last chunk is not empty, " << c.size;
  }
}

TEST_F(BuilderTest, DefinesFromTheCommandLineWin) {
  std::string message;
  ASSERT_TRUE(build(script(kGoodFiles), message, "p.bin", {{"Version", "3.0"}})) << message;
  EXPECT_NE(read(dir_ / "p.bin.zss").find("AppVersion = 3.0\n"), std::string::npos);
  EXPECT_FALSE(build(script(kGoodFiles, "AppName = {#Missing}\n"), message));
  EXPECT_NE(message.find("setup.zss:21: unknown define {#Missing}"), std::string::npos) << message;
}

// Every refusal: one message, the script's name and the line.
TEST_F(BuilderTest, BadInputNamesTheFileAndLine) {
  struct Case {
    std::string files;
    std::string expected;
  };
  // The [Files] section starts on line 22: its lines are 23, 24, ...
  const Case cases[] = {
      {"Source: missing.exe; Dest: {app}\\missing.exe\n", "setup.zss:23: Source missing.exe does not exist"},
      {"Source: Zelvan.exe; Dest: {pf}\\Zelvan.exe\n", "setup.zss:23: ZS25 "},
      {"Source: Zelvan.exe; Dest: {app}\\a\\..\\b.exe\n", "setup.zss:23: ZS14 "},
      {"Source: Zelvan.exe; Dest: {app}\\Zelvan.exe\nSource: settings.ini; Dest: {APP}\\ZELVAN.EXE\n",
       "setup.zss:24: duplicate destination {APP}\\ZELVAN.EXE, also on line 23"},
      {"Source: Zelvan.exe; Dest: {app}\\ZelvanUninstall.exe\n", "setup.zss:23: duplicate destination"},
      {"Source: app; Dest: {app}\n", "setup.zss:23: Source app is a folder; a folder needs Flags: recurse"},
      {"Source: Zelvan.exe; Dest: {app}\\Zelvan.exe; Flags: recurse\n", "setup.zss:23: Flags: recurse needs a folder"},
      {"Source: Zelvan.exe; Dest: {app}\\Zelvan.exe; Off: 0\n", "setup.zss:23: Off, Size and Sha"},
      {"Source: Zelvan.exe\n", "setup.zss:23: missing required key 'Dest'"},
      {"Source: Zelvan.exe; Dest: {app}\\Zelvan.exe; Flags: sideways\n", "setup.zss:23: ZS18 unknown flag 'sideways'"},
      {"Source: \"Zelvan.exe; Dest: x\n", "setup.zss:23: unbalanced quote"},
  };
  for (const Case& c : cases) {
    std::string message;
    EXPECT_FALSE(build(script(c.files), message)) << c.files;
    EXPECT_NE(message.find(c.expected), std::string::npos) << "got: " << message << "\nwanted: " << c.expected;
    EXPECT_FALSE(fs::exists(dir_ / "payload.bin")) << "nothing is written on failure";
  }
  // A fault in another section, reported on its own source line after defines and comments.
  std::string message;
  EXPECT_FALSE(build(script(kGoodFiles) + "\n[Registry]\n; a comment\nRoot: HKCU; Key: Software\\X; Type: string; Data: 1\n",
                     message));
  EXPECT_NE(message.find("setup.zss:29: ZS29 "), std::string::npos) << message;
  EXPECT_FALSE(build(script(kGoodFiles, "Sign = x {file}\nAppName = Zelvan\n"), message));
  EXPECT_NE(message.find("setup.zss:22: ZS17 duplicate [Setup] key 'AppName'"), std::string::npos) << message;
}

// The uninstaller that goes into the block is a copy of the stub that the script's Sign command
// has signed: the block, its file line and its digest hold the signed bytes, the stub itself stays
// as it was, and the copy is gone afterwards. A Sign command that fails, or leaves the copy as it
// was, stops the build before anything is written.
TEST_F(BuilderTest, SignLineSignsTheUninstallerCopy) {
  const std::string stub = read(dir_ / "stub.exe");
  struct Case {
    std::string sign;        // the Sign line's command
    std::string uninstaller;  // the uninstaller's bytes in the block; empty when the build must fail
    std::string message;     // part of the failure's message
  };
  const Case cases[] = {
      {"sh -c 'printf \" signature\" >> \"$1\"' sign {file}", stub + " signature", ""},
      {"sh -c 'printf %s \"$1\" | grep -q \"\\.exe$\" && printf \"!\" >> \"$1\"' sign {file}", stub + "!", ""},
      {"sh -c 'exit 3' sign {file}", "", "the Sign command failed"},
      {"true {file}", "", "the Sign command left the uninstaller as it was"},
  };
  for (const Case& c : cases) {
    fs::remove(dir_ / "payload.bin");
    std::string message;
    const bool built = build(script(kGoodFiles, "Sign = " + c.sign + "\n"), message);
    EXPECT_EQ(read(dir_ / "stub.exe"), stub) << "the build's own stub is never signed: " << c.sign;
    for (const auto& entry : fs::recursive_directory_iterator(dir_))
      EXPECT_EQ(entry.path().filename().string().find("ZelvanUninstall"), std::string::npos) << "left behind: " << entry.path();
    if (c.uninstaller.empty()) {
      EXPECT_FALSE(built) << c.sign;
      EXPECT_NE(message.find(c.message), std::string::npos) << message;
      EXPECT_FALSE(fs::exists(dir_ / "payload.bin")) << c.sign;
      continue;
    }
    ASSERT_TRUE(built) << message;
    const std::string payload = read(dir_ / "payload.bin");
    PayloadHeader h;
    ASSERT_TRUE(readPayloadHeader(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), h));
    SetupScript parsed;
    ScriptError error;
    ASSERT_TRUE(parseSetupScript(payload.substr(kPayloadHeaderSize, h.scriptLength), parsed, error));
    const FileEntry& last = parsed.files.back();
    ASSERT_EQ(last.dest, L"{app}\\ZelvanUninstall.exe");
    const std::string block = payload.substr(kPayloadHeaderSize + h.scriptLength + h.licenseLength);
    std::vector<uint8_t> plain(h.uncompressedSize);
    uint64_t needed = 0;
    lzms::BufferDecoder decoder;
    ASSERT_EQ(decoder.decompress(reinterpret_cast<const uint8_t*>(block.data()), block.size(), plain.data(),
                                 plain.size(), needed), lzms::BufferResult::Ok);
    EXPECT_EQ(std::string(plain.begin() + static_cast<long>(last.off), plain.end()), c.uninstaller);
    uint8_t digest[32];
    build::sha256Portable(plain.data() + last.off, last.size, digest);
    EXPECT_TRUE(digestEqualsHex(digest, last.sha));
  }
}

TEST_F(BuilderTest, RefusesMoreThan512MiB) {
  // Sparse files: big on paper, nothing on disk.
  fs::resize_file(dir_ / "stub.exe", 17);
  {
    std::ofstream(dir_ / "big1.bin").close();
    std::ofstream(dir_ / "big2.bin").close();
  }
  fs::resize_file(dir_ / "big1.bin", 300u << 20);
  fs::resize_file(dir_ / "big2.bin", 300u << 20);
  std::string message;
  EXPECT_FALSE(build(script("Source: big1.bin; Dest: {app}\\a.bin\nSource: big2.bin; Dest: {app}\\b.bin\n"), message));
  EXPECT_NE(message.find("setup.zss:24: the files add up to more than 512 MiB"), std::string::npos) << message;
}

}  // namespace
}  // namespace zs::test
