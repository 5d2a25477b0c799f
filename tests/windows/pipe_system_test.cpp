// The Win32 pipe system's failure texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "win32_pipe_system.h"

namespace velmora {
namespace {

std::string Describe(std::int32_t code, std::size_t bound = 260) {
  char text[264];
  std::memset(text, 'X', sizeof text);
  Win32PipeSystem pipes;
  pipes.DescribeError(code, text, bound);
  EXPECT_EQ(std::string(text + bound, sizeof text - bound), std::string(sizeof text - bound, 'X'))
      << "written past the bound for " << code;
  return text;
}

TEST(Win32PipeSystem, SystemTextsLoseTheirLineBreak) {
  for (std::int32_t code : {2, 5, 109, 121, 231, 233}) {
    const std::string text = Describe(code);
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_NE(text.back(), '\n') << code;
    EXPECT_NE(text.back(), '\r') << code;
  }
}

TEST(Win32PipeSystem, CodesWithoutASystemTextAreNamed) {
  EXPECT_EQ(Describe(0x20001234), "Unknown error 0x20001234");
  EXPECT_EQ(Describe(static_cast<std::int32_t>(0x8004FFF0u)), "IDispatch error #65008");
}

TEST(Win32PipeSystem, TextsAreCutToTheBound) {
  EXPECT_EQ(Describe(0x20001234, 8), "Unknown");
  EXPECT_EQ(Describe(0x20001234, 1), "");
}

}  // namespace
}  // namespace velmora
