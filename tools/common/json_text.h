// Text as a JSON string literal, for the tools' --json and --log output.
#pragma once

#include <cstdio>
#include <string>

namespace velmora::tools {

// Characters outside printable ASCII become \uXXXX escapes (UTF-16 code units), so the output
// is plain ASCII.
inline std::string JsonString(const std::wstring& text) {
  std::string out = "\"";
  for (const wchar_t c : text) {
    const unsigned long code = static_cast<unsigned long>(c);
    if (c == L'"' || c == L'\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (code >= 0x20 && code < 0x7F) {
      out += static_cast<char>(c);
    } else if (code > 0xFFFF) {  // a 32-bit wchar_t outside the BMP: a surrogate pair
      const unsigned long v = code - 0x10000;
      char escaped[32];
      std::snprintf(escaped, sizeof escaped, "\\u%04lx\\u%04lx", 0xD800 + (v >> 10),
                    0xDC00 + (v & 0x3FF));
      out += escaped;
    } else {
      char escaped[16];
      std::snprintf(escaped, sizeof escaped, "\\u%04lx", code);
      out += escaped;
    }
  }
  return out + "\"";
}

// Bytes are taken as Latin-1, so any text a caller or a service sends comes out as valid JSON.
inline std::string JsonString(const std::string& bytes) {
  std::wstring text;
  for (const char c : bytes) text += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return JsonString(text);
}

}  // namespace velmora::tools
