#include "uninstall/uninstaller_role.h"

#include <gtest/gtest.h>

namespace zs {
namespace {

const wchar_t* kData = L"C:\\ProgramData\\ZelvanSetup";

TEST(UninstallerTest, OnlyTheRightNameInTheRightPlaceIsTheUninstaller) {
  // A temporary copy under {setupdata}.
  EXPECT_TRUE(isUninstallerPath(L"C:\\ProgramData\\ZelvanSetup\\un-0123abcd\\ZelvanUninstall.exe", kData, true,
                                L"C:\\Program Files\\Zelvan"));
  EXPECT_TRUE(isUninstallerPath(L"c:\\programdata\\zelvansetup\\UN-x\\zelvanuninstall.EXE", kData, true, L"D:\\Z"));
  // The registered install folder.
  EXPECT_TRUE(isUninstallerPath(L"C:\\Program Files\\Zelvan\\ZelvanUninstall.exe", kData, true,
                                L"c:\\program files\\zelvan"));
  // Nothing registered: anywhere.
  EXPECT_TRUE(isUninstallerPath(L"D:\\Downloads\\ZelvanUninstall.exe", kData, false, L""));

  // Wrong name, wherever it lies.
  EXPECT_FALSE(isUninstallerPath(L"C:\\Program Files\\Zelvan\\ZelvanSetup.exe", kData, false, L""));
  EXPECT_FALSE(isUninstallerPath(L"C:\\Program Files\\Zelvan\\ZelvanUninstall.exe.bak", kData, false, L""));
  // The right name elsewhere while an install is registered.
  EXPECT_FALSE(isUninstallerPath(L"D:\\Downloads\\ZelvanUninstall.exe", kData, true, L"C:\\Program Files\\Zelvan"));
  EXPECT_FALSE(isUninstallerPath(L"C:\\Program Files\\Zelvan\\Sub\\ZelvanUninstall.exe", kData, true,
                                 L"C:\\Program Files\\Zelvan"));
  // A folder under {setupdata} not named like a temporary copy, or one level too deep.
  EXPECT_FALSE(isUninstallerPath(L"C:\\ProgramData\\ZelvanSetup\\bak\\ZelvanUninstall.exe", kData, true, L"C:\\Z"));
  EXPECT_FALSE(isUninstallerPath(L"C:\\ProgramData\\ZelvanSetup\\un-1\\x\\ZelvanUninstall.exe", kData, true, L"C:\\Z"));
  // A registered entry without a location matches no folder.
  EXPECT_FALSE(isUninstallerPath(L"C:\\Z\\ZelvanUninstall.exe", kData, true, L""));
}

}  // namespace
}  // namespace zs
