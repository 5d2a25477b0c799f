// Whole numbers as the tools read them, from a command line or a request: an optional "-" and
// decimal digits, within the type's range; no "+", no spaces, no octal or hexadecimal forms.
#pragma once

#include <charconv>
#include <string_view>

namespace velmora::tools {

template <typename Number>
bool ParseDecimal(std::string_view text, Number& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace velmora::tools
