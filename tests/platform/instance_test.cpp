#include "platform/instance.h"

#include <gtest/gtest.h>

#include <thread>

namespace zs {
namespace {

TEST(Instance, SecondHolderSeesTheFirst) {
  std::wstring name = L"Local\\ZelvanSetupTest-" + std::to_wstring(GetCurrentProcessId());
  InstanceLock first = acquireInstanceMutex(name);
  ASSERT_NE(first.handle, nullptr) << first.error;
  EXPECT_FALSE(first.otherRunning);
  InstanceLock second;
  std::thread([&] { second = acquireInstanceMutex(name); }).join();
  EXPECT_TRUE(second.otherRunning);
  EXPECT_EQ(second.handle, nullptr);  // the duplicate is not kept
  ReleaseMutex(first.handle);
  CloseHandle(first.handle);
  InstanceLock third = acquireInstanceMutex(name);
  EXPECT_FALSE(third.otherRunning);
  ASSERT_NE(third.handle, nullptr);
  CloseHandle(third.handle);
}

}  // namespace
}  // namespace zs
