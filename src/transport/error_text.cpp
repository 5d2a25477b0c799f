#include "error_text.h"

#include "bounded_text.h"

namespace velmora {

std::size_t TrimLineEnd(const wchar_t* text, std::size_t length) {
  if (length > 1 && text[length - 1] == L'\n') {
    --length;
    if (text[length - 1] == L'\r') --length;
  }
  return length;
}

void MakeFallbackErrorText(std::int32_t code, wchar_t (&text)[kFallbackTextSize]) {
  const std::uint32_t value = static_cast<std::uint32_t>(code);
  // Codes from 0x80040200 to 0x8004FFFF are dispatch errors numbered from 0x200 upwards.
  const std::uint32_t dispatchNumber = (value - 0x200u) & 0xFFFFu;
  if (value >= 0x80040200u && value <= 0x8004FFFFu && dispatchNumber != 0) {
    FormatBounded(text, kFallbackTextSize, L"IDispatch error #%d",
                  static_cast<int>(dispatchNumber));
  } else {
    FormatBounded(text, kFallbackTextSize, L"Unknown error 0x%0lX",
                  static_cast<unsigned long>(value));
  }
}

}  // namespace velmora
