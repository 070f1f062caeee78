#include "base/switches.h"

#include "base/exit_code.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

namespace zs {
namespace {

SwitchSet parse(std::vector<std::wstring> args, std::wstring_view start = L"C:\\Temp") {
  return parseSwitches(args, start);
}

TEST(Switches, FlagsMatchWithoutRegardToCaseButOnlyAtFullLength) {
  EXPECT_TRUE(parse({L"/Silent"}).silent);
  EXPECT_TRUE(parse({L"/VERYSILENT"}).silent);
  SwitchSet s = parse({L"/silent=1"});
  EXPECT_FALSE(s.silent);
  EXPECT_EQ(s.badSwitch, L"/silent=1");
  EXPECT_EQ(parse({L"/silentx"}).badSwitch, L"/silentx");
  SwitchSet quiet = parse({L"/norestart", L"/SUPPRESSMSGBOXES", L"/sp-"});
  EXPECT_TRUE(quiet.badSwitch.empty());
  EXPECT_FALSE(quiet.silent);
  EXPECT_TRUE(parse({L"/NoRun"}).noRun);
  EXPECT_TRUE(parse({L"/closeapps"}).closeApps);
}

TEST(Switches, ValueSwitchesNeedTheEqualsSign) {
  SwitchSet bare = parse({L"/dir"});
  EXPECT_FALSE(bare.dirGiven);
  EXPECT_EQ(bare.badSwitch, L"/dir");
  EXPECT_EQ(parse({L"/dirx=C:\\X"}).badSwitch, L"/dirx=C:\\X");

  SwitchSet empty = parse({L"/dir="});
  EXPECT_TRUE(empty.dirGiven);
  EXPECT_TRUE(empty.dir.empty());
  EXPECT_TRUE(empty.badSwitch.empty());

  SwitchSet later = parse({L"/Dir=C:\\One", L"/DIR= C:\\Two "});
  EXPECT_EQ(later.dir, L" C:\\Two ") << "the value is kept exactly as given, the later one wins";
}

TEST(Switches, TasksAreSplitTrimmedAndAddUp) {
  SwitchSet s = parse({L"/tasks= desktopicon , ,fileassoc"});
  EXPECT_TRUE(s.tasksGiven);
  EXPECT_EQ(s.tasks, (std::vector<std::wstring>{L"desktopicon", L"fileassoc"}));

  SwitchSet none = parse({L"/tasks="});
  EXPECT_TRUE(none.tasksGiven);
  EXPECT_TRUE(none.tasks.empty());

  SwitchSet twice = parse({L"/tasks=a", L"/TASKS=b,\u00A0c\t"});
  EXPECT_EQ(twice.tasks, (std::vector<std::wstring>{L"a", L"b", L"\u00A0c"}))
      << "only the five white-space characters are trimmed";
}

// Two thousand repeats of one name once made a registry value of 24 KB.
TEST(Switches, RepeatedTaskNamesAreKeptOnceInTheirFirstSpelling) {
  std::vector<std::wstring> args = {L"/tasks=DesktopIcon,fileassoc,desktopicon"};
  for (int i = 0; i < 2000; ++i) args.push_back(L"/tasks=FILEASSOC,desktopICON");
  EXPECT_EQ(parse(args).tasks, (std::vector<std::wstring>{L"DesktopIcon", L"fileassoc"}));
}

// The copy's folder hint names a folder; one with a component no Windows path can have is refused
// as a bad switch before anything asks the file system about it.
TEST(Switches, AnAppHintBeyondTheWindowsPathLimitsIsABadSwitch) {
  const std::wstring overlong = L"/app=C:\\" + std::wstring(1000, L'a');
  SwitchSet s = parse({L"/silent", overlong, L"/bogus"});
  EXPECT_EQ(s.badSwitch, overlong);
  EXPECT_TRUE(s.appHint.empty());
  EXPECT_EQ(s.switchText, L" /silent /bogus");
  EXPECT_EQ(parse({L"/app=C:\\" + std::wstring(255, L'a')}).appHint, L"C:\\" + std::wstring(255, L'a'));
}

TEST(Switches, LogPathIsMadeAbsoluteAgainstTheStartFolder) {
  EXPECT_EQ(parse({L"/log=run.log"}, L"C:\\Temp").logPath, L"C:\\Temp\\run.log");
  EXPECT_EQ(parse({L"/log=..\\up.log"}, L"C:\\Temp\\Sub").logPath, L"C:\\Temp\\up.log");
  EXPECT_EQ(parse({L"/log=D:\\logs\\a.log"}, L"C:\\Temp").logPath, L"D:\\logs\\a.log");
  EXPECT_EQ(parse({L"/log=\\\\server\\share\\a.log"}, L"C:\\Temp").logPath, L"\\\\server\\share\\a.log");
  EXPECT_EQ(parse({L"/log=one.log", L"/log=two.log"}, L"C:\\T").logPath, L"C:\\T\\two.log");
  // A path too long for the 4,096-character buffer is kept as given, not read past the buffer.
  std::wstring longName(5000, L'a');
  EXPECT_EQ(parse({L"/log=C:\\" + longName}, L"C:\\T").logPath, L"C:\\" + longName);
}

TEST(Switches, OnlyTheFirstUnrecognisedArgumentIsKept) {
  SwitchSet s = parse({L"/silent", L"/bogus", L"/other", L"plain"});
  EXPECT_EQ(s.badSwitch, L"/bogus");
  EXPECT_TRUE(s.silent);
  EXPECT_EQ(s.switchText, L" /silent /bogus /other plain");
}

TEST(Switches, RunAndAppAreReadButNeverEchoed) {
  SwitchSet s = parse({L"/run=1234", L"/silent", L"/app=C:\\Program Files\\Zelvan", L"/app=C:\\Z"});
  EXPECT_EQ(s.runParentId, 1234);
  EXPECT_EQ(s.appHint, L"C:\\Z");
  EXPECT_EQ(s.switchText, L" /silent");
  EXPECT_EQ(parse({L"/run=  -42xyz"}).runParentId, -42);
  EXPECT_EQ(parse({L"/run=+7"}).runParentId, 7);
  EXPECT_EQ(parse({L"/run=abc"}).runParentId, 0);
  EXPECT_EQ(parse({L"/run="}).runParentId, 0);
  EXPECT_EQ(parse({L"/run=99999999999999"}).runParentId, 2147483647);
}

TEST(Switches, TheResultPipeIsReadButNeverEchoed) {
  SwitchSet s = parse({L"/run=12", L"/result=508", L"/silent"});
  EXPECT_EQ(s.resultHandle, 508u);
  EXPECT_EQ(s.switchText, L" /silent") << "the copy's handle is nothing for the log, nor for another copy";
  EXPECT_EQ(parse({L"/RESULT=x"}).resultHandle, 0u);
  EXPECT_TRUE(parse({L"/result=7"}).badSwitch.empty());
}

// Scripts read the number back, so a value that is not plainly a number is refused, not taken as 0.
TEST(Switches, TheRestartExitCodeIsAPlainNumber) {
  struct Case {
    const wchar_t* arg;
    std::optional<int32_t> code;  // nothing: refused as a bad switch
  };
  const Case cases[] = {
      {L"/restartexitcode=3010", 3010},
      {L"/RestartExitCode=0", 0},
      {L"/restartexitcode=2147483647", 2147483647},
      {L"/restartexitcode=2147483648", std::nullopt},
      {L"/restartexitcode=99999999999", std::nullopt},
      {L"/restartexitcode=", std::nullopt},
      {L"/restartexitcode=-1", std::nullopt},
      {L"/restartexitcode= 3010", std::nullopt},
      {L"/restartexitcode=3010x", std::nullopt},
      {L"/restartexitcode=0x10", std::nullopt},
  };
  for (const Case& c : cases) {
    SwitchSet s = parse({c.arg});
    EXPECT_EQ(s.restartExitCode, c.code) << c.arg;
    EXPECT_EQ(s.badSwitch, c.code ? L"" : c.arg) << c.arg;
    EXPECT_EQ(s.switchText, L" " + quoteArgument(c.arg)) << "passed on to the uninstaller's copy: " << c.arg;
  }
  EXPECT_EQ(parse({L"/restartexitcode=1", L"/restartexitcode=2"}).restartExitCode, std::optional<int32_t>(2))
      << "the later one wins";
  EXPECT_FALSE(parse({L"/silent"}).restartExitCode.has_value());
}

// Without the switch every code stays as it was; with it, only a run that did its work and left
// the rest to the restart ends with the given number.
TEST(ExitNumbers, TheRestartCodeStandsOnlyForARunThatTheRestartCompletes) {
  const std::optional<int32_t> none;
  const std::optional<int32_t> given = 3010;
  EXPECT_EQ(exitNumber(ExitCode::Installed, true, none), 0);
  EXPECT_EQ(exitNumber(ExitCode::Installed, false, given), 0);
  EXPECT_EQ(exitNumber(ExitCode::Installed, true, given), 3010);
  EXPECT_EQ(exitNumber(ExitCode::Failed, true, given), 1) << "rolled back: nothing to finish";
  EXPECT_EQ(exitNumber(ExitCode::Cancelled, true, given), 2);

  EXPECT_EQ(exitNumber(UninstallExit::Incomplete, true, none), 1);
  EXPECT_EQ(exitNumber(UninstallExit::Incomplete, true, given), 3010);
  EXPECT_EQ(exitNumber(UninstallExit::Incomplete, false, given), 1) << "something stays for good";
  EXPECT_EQ(exitNumber(UninstallExit::Removed, true, given), 3010);
  EXPECT_EQ(exitNumber(UninstallExit::Removed, false, given), 0);
  for (UninstallExit other : {UninstallExit::Declined, UninstallExit::AppRunning, UninstallExit::OtherSetup,
                              UninstallExit::RecoveryIncomplete, UninstallExit::CopyGaveNoResult})
    EXPECT_EQ(exitNumber(other, true, given), exitNumber(other));
}

TEST(Switches, TheLanguageTagIsKeptAsGivenAndTheLastOneWins) {
  struct Case {
    std::vector<std::wstring> args;
    bool given;
    const wchar_t* lang;
    const wchar_t* bad;
  } cases[] = {
      {{L"/lang=de"}, true, L"de", L""},
      {{L"/LANG=de-DE"}, true, L"de-DE", L""},
      {{L"/lang=qps-ploc", L"/Lang=de"}, true, L"de", L""},
      // Whether a table serves it is start-up's question, not the parser's.
      {{L"/lang=xx_YY"}, true, L"xx_YY", L""},
      {{L"/lang="}, true, L"", L""},
      {{L"/lang"}, false, L"", L"/lang"},
      {{L"/language=de"}, false, L"", L"/language=de"},
  };
  for (const Case& c : cases) {
    SwitchSet s = parse(c.args);
    SCOPED_TRACE(c.args.back());
    EXPECT_EQ(s.langGiven, c.given);
    EXPECT_EQ(s.lang, c.lang);
    EXPECT_EQ(s.badSwitch, c.bad);
  }
  EXPECT_EQ(parse({L"/silent", L"/lang=de"}).switchText, L" /silent /lang=de") << "the log names it";
}

TEST(Switches, NoArgumentsEchoNothing) {
  SwitchSet s = parse({});
  EXPECT_TRUE(s.switchText.empty());
  EXPECT_TRUE(s.badSwitch.empty());
  EXPECT_FALSE(s.silent);
}

TEST(Switches, EchoQuotesTheWayTheCommandLineSplitterReadsIt) {
  EXPECT_EQ(quoteArgument(L"/silent"), L"/silent");
  EXPECT_EQ(quoteArgument(L"C:\\a\\b"), L"C:\\a\\b") << "backslashes alone need no quotes";
  EXPECT_EQ(quoteArgument(L"/dir=C:\\My Apps"), L"\"/dir=C:\\My Apps\"");
  EXPECT_EQ(quoteArgument(L"/dir=C:\\My Apps\\"), L"\"/dir=C:\\My Apps\\\\\"");
  EXPECT_EQ(quoteArgument(L"say \"hi\""), L"\"say \\\"hi\\\"\"");
  EXPECT_EQ(quoteArgument(L"a\\\"b"), L"\"a\\\\\\\"b\"") << "n backslashes before a quote become 2n+1";
  EXPECT_EQ(quoteArgument(L"tab\there"), L"\"tab\there\"");
  EXPECT_EQ(quoteArgument(L""), L"");
  EXPECT_EQ(parse({L"/dir=C:\\My Apps\\", L"/silent"}).switchText, L" \"/dir=C:\\My Apps\\\\\" /silent");
}

TEST(Switches, EchoRoundTripsThroughTheSplitter) {
  // Whatever the argument, splitting its quoted form gives it back.
  const std::vector<std::wstring> samples = {L"plain", L"two words", L"trail\\", L"trail two\\\\",
                                             L"q\"uote", L"back\\\\\"quote x", L"\\\\server\\share x"};
  for (const std::wstring& arg : samples) {
    std::wstring line = L"prog.exe " + quoteArgument(arg);
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(line.c_str(), &argc);
    ASSERT_NE(argv, nullptr);
    ASSERT_EQ(argc, 2) << std::string(arg.begin(), arg.end());
    EXPECT_EQ(std::wstring(argv[1]), arg);
    LocalFree(argv);
  }
}

}  // namespace
}  // namespace zs
