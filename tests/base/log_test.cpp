#include "base/log.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "support/temp_folder.h"

namespace zs {
namespace {

using test::TempFolder;
using test::fileExists;
using test::readBytes;
using test::writeBytes;

const std::string kBom = "\xEF\xBB\xBF";

Log::FolderProvider folderAt(const std::wstring& folder) {
  return [folder](std::wstring& out) {
    out = folder;
    return true;
  };
}

// The lines of a log's bytes with their "hh:mm:ss.mmm  " stamps removed; checks the stamp's shape.
std::vector<std::string> messages(const std::string& bytes) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t end = bytes.find("\r\n", pos);
    EXPECT_NE(end, std::string::npos) << "every line ends with CR LF";
    if (end == std::string::npos) break;
    std::string line = bytes.substr(pos, end - pos);
    EXPECT_GE(line.size(), 14u);
    if (line.size() >= 14) {
      for (size_t i : {0u, 1u, 3u, 4u, 6u, 7u, 9u, 10u, 11u}) EXPECT_TRUE(isdigit(static_cast<unsigned char>(line[i]))) << line;
      EXPECT_EQ(line.substr(2, 1) + line.substr(5, 1) + line.substr(8, 1), "::.") << line;
      EXPECT_EQ(line.substr(12, 2), "  ") << line;
      out.push_back(line.substr(14));
    }
    pos = end + 2;
  }
  return out;
}

TEST(Log, LinesWaitInMemoryUntilTheFileOpens) {
  TempFolder dir;
  Log log({L"", false, folderAt(dir.path())});
  log.line(L"first");
  log.linef(L"second %d %ls", 2, L"w\u00E9");
  EXPECT_FALSE(log.isOpen());
  EXPECT_EQ(messages(log.pendingBytes()), (std::vector<std::string>{"first", "second 2 w\xC3\xA9"}));

  log.open();
  ASSERT_TRUE(log.isOpen());
  std::wstring path = log.openPath();
  EXPECT_EQ(path.rfind(dir.path() + L"\\Zelvan-Setup-", 0), 0u);
  log.line(L"third");
  EXPECT_EQ(log.finish(3), 3);
  EXPECT_FALSE(log.isOpen());

  std::string bytes = readBytes(path);
  ASSERT_EQ(bytes.substr(0, 3), kBom);
  EXPECT_EQ(messages(bytes.substr(3)),
            (std::vector<std::string>{"first", "second 2 w\xC3\xA9", "third", "Exit code 3"}));
  EXPECT_TRUE(log.pendingBytes().empty());
}

TEST(Log, FileNameCarriesRoleVersionAndTime) {
  Log log({});
  SYSTEMTIME t{};
  t.wYear = 2026, t.wMonth = 12, t.wDay = 6, t.wHour = 9, t.wMinute = 15, t.wSecond = 0;
  EXPECT_EQ(log.fileNameFor(t), L"Zelvan-Setup-20261206-091500.log");
  log.setVersionTag(L"2.5");
  EXPECT_EQ(log.fileNameFor(t), L"Zelvan-Setup-2.5-20261206-091500.log");
  log.setUninstallRole(true);
  EXPECT_EQ(log.fileNameFor(t), L"Zelvan-Uninstall-2.5-20261206-091500.log");
}

TEST(Log, ASecondLogOfTheSameSecondIsNumbered) {
  Log log({});
  log.setUninstallRole(true);
  SYSTEMTIME t{};
  t.wYear = 2026, t.wMonth = 12, t.wDay = 6, t.wHour = 9, t.wMinute = 15, t.wSecond = 0;
  const std::wstring first = log.fileNameFor(t, 1);
  const std::wstring ninth = log.fileNameFor(t, 9);
  EXPECT_EQ(first, L"Zelvan-Uninstall-20261206-091500.log");
  EXPECT_EQ(log.fileNameFor(t, 2), L"Zelvan-Uninstall-20261206-091500_2.log");
  t.wSecond = 1;
  const std::wstring next = log.fileNameFor(t);
  // The harness and people read the logs in name order.
  EXPECT_LT(first, log.fileNameFor(SYSTEMTIME{2026, 12, 0, 6, 9, 15, 0, 0}, 2)) << "after the first";
  EXPECT_LT(ninth, next) << "before the next second's";
}

// The uninstaller and its copy both write while the launcher waits: a copy that opens its log in
// the second its launcher did must not lose its lines to the launcher's open file.
TEST(Log, TwoRunsOfOneSecondWriteTwoFiles) {
  TempFolder dir;
  Log first({L"", true, folderAt(dir.path())});
  first.setUninstallRole(true);
  // Held for the seconds the second log may open in, as the launcher holds its own.
  std::vector<HANDLE> held;
  SYSTEMTIME now;
  GetLocalTime(&now);
  FILETIME ft;
  SystemTimeToFileTime(&now, &ft);
  for (int ahead = 0; ahead < 3; ++ahead) {
    ULARGE_INTEGER at{{ft.dwLowDateTime, ft.dwHighDateTime}};
    at.QuadPart += static_cast<uint64_t>(ahead) * 10000000ull;
    FILETIME aheadFt{at.LowPart, at.HighPart};
    SYSTEMTIME t;
    FileTimeToSystemTime(&aheadFt, &t);
    held.push_back(CreateFileW((dir / first.fileNameFor(t)).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(held.back(), INVALID_HANDLE_VALUE);
  }
  first.line(L"the copy's line");
  first.open();
  ASSERT_TRUE(first.isOpen()) << "a taken name is no reason to lose the log";
  std::wstring path = first.openPath();
  EXPECT_EQ(path.substr(path.size() - 6), L"_2.log") << path;
  first.finish(0);
  for (HANDLE h : held) CloseHandle(h);
  EXPECT_EQ(messages(readBytes(path).substr(3)), (std::vector<std::string>{"the copy's line", "Exit code 0"}));
}

// The launcher hands its /log= file to the copy, which writes it while the launcher waits; the
// launcher's own lines go to the default place.
TEST(Log, ALaunchersLinesLeaveTheGivenFileToItsCopy) {
  TempFolder dir;
  TempFolder fallback;
  const std::wstring given = dir / L"chosen.log";
  struct Case {
    bool silent;
    std::wstring logPath;
    bool writes;
  };
  for (const Case& c : {Case{true, given, true}, Case{false, given, true}, Case{true, L"", true},
                        Case{false, L"", false}}) {
    Log log({c.logPath, c.silent, folderAt(fallback.path())});
    log.line(L"launcher");
    log.leaveGivenFile();
    EXPECT_EQ(log.isOpen(), c.writes);
    log.finish(0);
    EXPECT_FALSE(fileExists(given)) << "the copy's, untouched";
    if (c.writes) {
      ASSERT_EQ(log.openPath().rfind(fallback.path() + L"\\Zelvan-Setup-", 0), 0u) << log.openPath();
      EXPECT_EQ(messages(readBytes(log.openPath()).substr(3)), (std::vector<std::string>{"launcher", "Exit code 0"}));
      DeleteFileW(log.openPath().c_str());
    } else {
      EXPECT_TRUE(log.openPath().empty());
    }
  }
}

TEST(Log, FinishWritesAFileOnlyForSilentRunsLogSwitchOrAnOpenLog) {
  TempFolder dir;
  {
    Log interactive({L"", false, folderAt(dir.path())});
    interactive.line(L"cancelled on the first page");
    interactive.finish(2);
    EXPECT_TRUE(interactive.openPath().empty());
  }
  {
    Log silent({L"", true, folderAt(dir.path())});
    silent.line(L"silent");
    silent.finish(6);
    ASSERT_FALSE(silent.openPath().empty());
    EXPECT_EQ(messages(readBytes(silent.openPath()).substr(3)), (std::vector<std::string>{"silent", "Exit code 6"}));
  }
  {
    std::wstring path = dir / L"chosen.log";
    Log withPath({path, false, folderAt(dir.path())});
    withPath.finish(0);
    EXPECT_EQ(withPath.openPath(), path);
    EXPECT_TRUE(fileExists(path));
  }
}

TEST(Log, AnExistingLogFileIsAppendedToWithASecondByteOrderMark) {
  TempFolder dir;
  std::wstring path = dir / L"run.log";
  ASSERT_TRUE(writeBytes(path, kBom + "10:00:00.000  earlier run\r\n"));
  Log log({path, true, nullptr});
  log.line(L"this run");
  log.finish(0);
  std::string bytes = readBytes(path);
  EXPECT_EQ(bytes.substr(0, 3), kBom);
  size_t second = bytes.find(kBom, 3);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(messages(bytes.substr(3, second - 3)), (std::vector<std::string>{"earlier run"}));
  EXPECT_EQ(messages(bytes.substr(second + 3)), (std::vector<std::string>{"this run", "Exit code 0"}));
}

TEST(Log, AFolderThatDoesNotExistLeavesTheRunWithoutAFile) {
  TempFolder dir;
  std::wstring path = dir / L"missing\\run.log";
  Log log({path, true, nullptr});
  log.line(L"goes on");
  EXPECT_EQ(log.finish(0), 0);
  EXPECT_FALSE(fileExists(path));
  std::vector<std::string> kept = messages(log.pendingBytes());
  ASSERT_EQ(kept.size(), 3u) << "the lines stay in memory, the failure to open noted after them";
  EXPECT_EQ(kept[1], "Exit code 0");
  EXPECT_EQ(kept[2].rfind("Could not open the log: Windows error 3: ", 0), 0u) << kept[2];
}

// A /log= path that cannot be written, or that no Windows path can be, must not end a silent run
// without any log: the default place takes it, and the log says so.
TEST(Log, AnUnusableLogPathFallsBackToTheDefaultPlaceAndSaysSo) {
  TempFolder dir;
  TempFolder fallback;
  struct Case {
    std::wstring path;
    std::vector<std::string> lines;  // "" stands for the line with the Windows error
  };
  const Case cases[] = {
      {dir / L"missing\\run.log", {"", "The log is in the default place instead.", "goes on", "Exit code 0"}},
      {dir / (std::wstring(300, L'a') + L".log"),
       {"The /log= path is longer than Windows allows, so the log is in the default place instead.", "goes on",
        "Exit code 0"}},
  };
  for (const Case& c : cases) {
    Log log({c.path, true, folderAt(fallback.path())});
    log.line(L"goes on");
    EXPECT_EQ(log.finish(0), 0);
    std::wstring opened = log.openPath();
    ASSERT_EQ(opened.rfind(fallback.path() + L"\\Zelvan-Setup-", 0), 0u) << opened;
    std::vector<std::string> lines = messages(readBytes(opened).substr(3));
    ASSERT_EQ(lines.size(), c.lines.size());
    for (size_t i = 0; i < c.lines.size(); ++i) {
      if (c.lines[i].empty()) {
        EXPECT_EQ(lines[i].rfind("Could not open the log at ", 0), 0u) << lines[i];
        EXPECT_NE(lines[i].find(": Windows error 3: "), std::string::npos) << lines[i];
      } else {
        EXPECT_EQ(lines[i], c.lines[i]);
      }
    }
    DeleteFileW(opened.c_str());
  }
}

TEST(Log, ANoFolderProviderKeepsLinesInMemory) {
  Log log({L"", true, [](std::wstring&) { return false; }});
  log.line(L"kept");
  log.finish(1);
  EXPECT_TRUE(log.openPath().empty());
  EXPECT_EQ(messages(log.pendingBytes()), (std::vector<std::string>{"kept", "Exit code 1"}));
}

TEST(Log, LongLinesAreCutAt4095Characters) {
  TempFolder dir;
  Log log({});
  std::wstring text(5000, L'x');
  log.linef(L"%ls", text.c_str());
  std::vector<std::string> m = messages(log.pendingBytes());
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0], std::string(4095, 'x'));
  Log plain({});
  plain.line(text);
  EXPECT_EQ(messages(plain.pendingBytes())[0].size(), 5000u) << "only formatted lines have the buffer limit";
}

TEST(Log, WindowsErrorLinesCarryCodeAndTrimmedSystemText) {
  EXPECT_EQ(windowsErrorText(L"Could not open the log", 2),
            L"Could not open the log: Windows error 2: " + systemMessage(2));
  std::wstring text = systemMessage(5);
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), L'\n');
  EXPECT_NE(text.back(), L'\r');
  EXPECT_NE(text.back(), L' ');
  EXPECT_EQ(windowsErrorText(L"x", 0xE0001234), L"x: Windows error 3758101044: ")
      << "a code without a text gives an empty text";
}

TEST(Log, ConcurrentWritersNeverInterleaveWithinALine) {
  TempFolder dir;
  std::wstring path = dir / L"threads.log";
  Log log({path, true, nullptr});
  log.open();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 250; ++i) log.linef(L"thread %d line %d %ls", t, i, std::wstring(100, L'a' + t).c_str());
    });
  }
  for (std::thread& t : threads) t.join();
  log.finish(0);
  std::vector<std::string> m = messages(readBytes(path).substr(3));
  ASSERT_EQ(m.size(), 1001u);
  int counts[4] = {};
  for (size_t i = 0; i + 1 < m.size(); ++i) {
    int t = -1, n = -1;
    ASSERT_EQ(sscanf(m[i].c_str(), "thread %d line %d", &t, &n), 2) << m[i];
    ASSERT_TRUE(t >= 0 && t < 4);
    EXPECT_EQ(n, counts[t]++) << "each thread's lines stay in order";
    EXPECT_EQ(m[i].substr(m[i].size() - 100), std::string(100, static_cast<char>('a' + t)));
  }
}

class PruneTest : public ::testing::Test {
 protected:
  TempFolder dir;
  void make(const std::wstring& name) { ASSERT_TRUE(writeBytes(dir / name, "x")); }
};

TEST_F(PruneTest, KeepsTheFiveNewestSetupLogsAndNeverTheOpenOne) {
  for (int i = 1; i <= 7; ++i) make(L"Zelvan-Setup-2.4-2026010" + std::to_wstring(i) + L"-120000.log");
  make(L"zelvan-setup-old.LOG");  // the name test is without regard to case
  make(L"Zelvan-Uninstall-20260101-120000.log");
  make(L"Zelvan-Setup-notes.txt");
  ASSERT_TRUE(SetFileAttributesW((dir / L"Zelvan-Setup-2.4-20260101-120000.log").c_str(), FILE_ATTRIBUTE_READONLY));

  Log log({L"", true, folderAt(dir.path())});
  log.open();
  std::wstring open = log.openPath();
  log.pruneOldSetupLogs();
  log.finish(0);

  EXPECT_TRUE(fileExists(open)) << "this run's log sorts last and stays";
  EXPECT_FALSE(fileExists(dir / L"Zelvan-Setup-2.4-20260101-120000.log")) << "read-only is cleared first";
  EXPECT_FALSE(fileExists(dir / L"Zelvan-Setup-2.4-20260104-120000.log"));
  for (int i = 5; i <= 7; ++i) EXPECT_TRUE(fileExists(dir / (L"Zelvan-Setup-2.4-2026010" + std::to_wstring(i) + L"-120000.log")));
  EXPECT_TRUE(fileExists(dir / L"zelvan-setup-old.LOG")) << "\"o\" sorts after the digits and the version";
  EXPECT_TRUE(fileExists(dir / L"Zelvan-Uninstall-20260101-120000.log")) << "uninstaller logs are not pruned";
  EXPECT_TRUE(fileExists(dir / L"Zelvan-Setup-notes.txt"));
}

TEST_F(PruneTest, TheOpenLogSurvivesEvenWhenItSortsFirst) {
  for (int i = 1; i <= 6; ++i) make(L"Zelvan-Setup-9-2099010" + std::to_wstring(i) + L"-000000.log");
  std::wstring open = dir / L"Zelvan-Setup-0-early.log";
  Log log({open, true, folderAt(dir.path())});
  log.open();
  log.pruneOldSetupLogs();
  log.finish(0);
  EXPECT_TRUE(fileExists(open));
  EXPECT_FALSE(fileExists(dir / L"Zelvan-Setup-9-20990101-000000.log"));
  EXPECT_TRUE(fileExists(dir / L"Zelvan-Setup-9-20990102-000000.log"));
}

TEST_F(PruneTest, FiveOrFewerAreLeftAlone) {
  for (int i = 1; i <= 5; ++i) make(L"Zelvan-Setup-2026010" + std::to_wstring(i) + L"-120000.log");
  Log log({L"", true, folderAt(dir.path())});
  log.pruneOldSetupLogs();
  for (int i = 1; i <= 5; ++i) EXPECT_TRUE(fileExists(dir / (L"Zelvan-Setup-2026010" + std::to_wstring(i) + L"-120000.log")));
}

}  // namespace
}  // namespace zs
