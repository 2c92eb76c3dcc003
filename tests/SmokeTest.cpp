#include <gtest/gtest.h>
#include <windows.h>
TEST(Smoke, RunsUnderWine) { EXPECT_NE(GetCurrentProcessId(), 0u); EXPECT_EQ(sizeof(void*) == 8 || sizeof(void*) == 4, true); }
