// The rules for the text kept with a failure code.
#include "error_text.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora {
namespace {

TEST(TrimLineEnd, RemovesOneFinalLineBreak) {
  const struct {
    const wchar_t* text;
    const wchar_t* trimmed;
  } cases[] = {
      {L"Access is denied.\r\n", L"Access is denied."},
      {L"Access is denied.\n", L"Access is denied."},
      {L"two\r\n\r\n", L"two\r\n"},
      {L"no break", L"no break"},
      {L"cr only\r", L"cr only\r"},
      {L"\n", L"\n"},  // a single character stays
      {L"\r\n", L""},
      {L"x\n", L"x"},
      {L"", L""},
  };
  for (const auto& c : cases) {
    const std::wstring text = c.text;
    EXPECT_EQ(text.substr(0, TrimLineEnd(text.c_str(), text.size())), c.trimmed);
  }
}

TEST(MakeFallbackErrorText, NamesDispatchErrorsAndOtherCodes) {
  const struct {
    std::uint32_t code;
    const wchar_t* text;
  } cases[] = {
      {0x80040201u, L"IDispatch error #1"},
      {0x8004FFFFu, L"IDispatch error #65023"},
      {0x80040200u, L"Unknown error 0x80040200"},  // dispatch number 0
      {0x80040000u, L"Unknown error 0x80040000"},
      {0x800401FFu, L"Unknown error 0x800401FF"},
      {0x80050000u, L"Unknown error 0x80050000"},
      {0x20000001u, L"Unknown error 0x20000001"},
      {5u, L"Unknown error 0x5"},
      {0xFFFFFFFFu, L"Unknown error 0xFFFFFFFF"},
  };
  for (const auto& c : cases) {
    wchar_t text[kFallbackTextSize];
    MakeFallbackErrorText(static_cast<std::int32_t>(c.code), text);
    EXPECT_EQ(std::wstring(text), c.text) << std::hex << c.code;
  }
}

}  // namespace
}  // namespace velmora
