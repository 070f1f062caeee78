// A journal scope of a typical 64-bit machine, made by hand: for the tests and the fuzzer that
// judge records on text alone, without a machine to build the scope from.
#pragma once

#include <string>

#include "journal/journal_check.h"

namespace zs::test {

inline constexpr wchar_t kSampleRunSuffix[] = L"-0123456789abcdef";
inline constexpr wchar_t kSampleAppId[] = L"7D2B4E91-5C3A-4F08-B6E1-0A9C3D5F7E24";

inline JournalScope sampleScope() {
  JournalScope s;
  s.installFolder = L"C:\\Program Files\\Zelvan";
  s.oldInstallFolder = L"C:\\Program Files (x86)\\Zelvan";
  s.programs = L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs";
  s.desktop = L"C:\\Users\\Public\\Desktop";
  s.docs = L"C:\\Users\\pat\\Documents";
  s.appdata = L"C:\\Users\\pat\\AppData\\Roaming";
  s.setupdata = L"C:\\ProgramData\\ZelvanSetup";
  s.win = L"C:\\Windows";
  s.pf = L"C:\\Program Files";
  s.pf32 = L"C:\\Program Files (x86)";
  s.userFoldersKnown = true;
  s.runSuffix = kSampleRunSuffix;
  s.ownEntryKey = uninstallEntryKey(L"{" + std::wstring(kSampleAppId) + L"}");
  for (const wchar_t* framework : {L"Framework", L"Framework64", L"FrameworkArm64"}) {
    s.ngenPaths.push_back(L"C:\\Windows\\Microsoft.NET\\" + std::wstring(framework) + L"\\v4.0.30319\\ngen.exe");
  }
  return s;
}

}  // namespace zs::test
