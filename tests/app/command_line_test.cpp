#include "app/command_line.h"

#include <gtest/gtest.h>

namespace zelk {
namespace {

TEST(Placeholder, Builds) { EXPECT_EQ(ChooseRunMode({L"Zelk.exe"}), RunMode::Normal); }

}  // namespace
}  // namespace zelk
