#include "app/startup.h"

#include <gtest/gtest.h>

#include "base/switches.h"

namespace zs {
namespace {

TEST(Startup, TheUninstallerNamesTheFirstRefusedSwitchByPrecedence) {
  auto refused = [](std::vector<std::wstring> args) {
    const wchar_t* r = refusedUninstallerSwitch(parseSwitches(args, L"C:\\"));
    return r ? std::wstring(r) : std::wstring(L"(none)");
  };
  EXPECT_EQ(refused({L"/silent", L"/log=x", L"/closeapps", L"/norestart", L"/run=1", L"/app=C:\\Z"}), L"(none)");
  EXPECT_EQ(refused({L"/tasks=a"}), L"/tasks=");
  EXPECT_EQ(refused({L"/tasks=", L"/dir=C:\\X"}), L"/dir=") << "/dir= wins whatever the order";
  EXPECT_EQ(refused({L"/norun", L"/tasks=a"}), L"/tasks=");
  EXPECT_EQ(refused({L"/NORUN"}), L"/norun");
  EXPECT_EQ(refused({L"/dir="}), L"/dir=") << "an empty /dir= is still given";
}

}  // namespace
}  // namespace zs
