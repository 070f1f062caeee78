#include "app/switches.h"
#include <gtest/gtest.h>
TEST(Switches, Placeholder) { EXPECT_TRUE(zs::parseSwitches({L"/silent"}, L"C:\\").silent); }
