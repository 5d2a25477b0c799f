// The rules for the text kept with a failure code, apart from the platform call that looks it up.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

// Room for the text made when the system has none for a code.
constexpr std::size_t kFallbackTextSize = 32;

// System texts end with a line break; returns the length without a final LF and the CR before
// it. A single character is left as it is.
std::size_t TrimLineEnd(const wchar_t* text, std::size_t length);

// The text for a code the system has no message for: "IDispatch error #N" for the dispatch
// range, "Unknown error 0x..." otherwise.
void MakeFallbackErrorText(std::int32_t code, wchar_t (&text)[kFallbackTextSize]);

}  // namespace velmora
