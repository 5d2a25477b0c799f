// Text between the tools' UTF-8 and Windows' UTF-16 and ANSI code page, through the system's
// own conversions with their error flags: a text that cannot be converted exactly is refused,
// never replaced by a look-alike.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace velmora::tools {

// "U+03A9" for the character that starts at text[i], a surrogate pair counting as one, or
// "U+D800, half of a surrogate pair" for a surrogate without its partner; `i` moves past it.
inline std::string CharacterName(const std::wstring& text, std::size_t& i) {
  const auto unit = [&](std::size_t at) { return static_cast<unsigned long>(text[at]); };
  unsigned long code = unit(i++);
  const bool high = code >= 0xD800 && code < 0xDC00;
  if (high && i < text.size() && unit(i) >= 0xDC00 && unit(i) < 0xE000) {
    code = 0x10000 + ((code - 0xD800) << 10) + (unit(i++) - 0xDC00);
  } else if (code >= 0xD800 && code < 0xE000) {
    char name[48];
    (void)std::snprintf(name, sizeof name, "U+%04lX, half of a surrogate pair", code);
    return name;
  }
  char name[16];
  (void)std::snprintf(name, sizeof name, "U+%04lX", code);
  return name;
}

#ifdef _WIN32
// False, with the character named in `problem`, when `wide` holds half a surrogate pair,
// which UTF-8 cannot carry.
bool Utf8FromWide(const std::wstring& wide, std::string& utf8, std::string& problem);
// From UTF-8 this program made itself.
std::wstring WideFromUtf8(const std::string& utf8);
// The program's arguments after its name, as UTF-8; false with the problem said when one
// cannot be.
bool Utf8Arguments(std::vector<std::string>& args, std::string& problem);
// The text in the ANSI code page exactly; false with the first character it lacks named.
bool AnsiFromUtf8(const std::string& utf8, std::string& ansi, std::string& problem);
#endif

}  // namespace velmora::tools
