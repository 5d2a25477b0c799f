#include "text/text_model.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace velmora::devservice {
namespace {

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The length of the UTF-8 sequence at `at` and its code point; 0 when it is not one (a stray
// continuation byte, a cut or overlong sequence, a surrogate, or past U+10FFFF).
std::size_t Utf8Sequence(std::string_view text, std::size_t at, char32_t& c) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  if (lead < 0x80) {
    c = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    c = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    c = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    c = c << 6 | (byte(i) & 0x3F);
  }
  const bool overlong = (length == 3 && c < 0x800) || (length == 4 && c < 0x10000);
  if (overlong || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return 0;
  return length;
}

CodePage ReadHostCodePage() {
#ifdef _WIN32
  CodePage page;
  for (int i = 0; i < 128; ++i) {
    const char byte = static_cast<char>(0x80 + i);
    wchar_t wide[2] = {};
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, &byte, 1, wide, 2) == 1) {
      page.high[static_cast<std::size_t>(i)] = wide[0];
    }
  }
  return page;
#else
  return Windows1252();
#endif
}

}  // namespace

const CodePage& Windows1252() {
  // 0x80 to 0x9F hold the page's own characters (five bytes there have none); 0xA0 up is
  // Latin-1.
  static const CodePage page = [] {
    constexpr char32_t k80To9F[32] = {
        0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    CodePage made;
    for (std::size_t i = 0; i < 128; ++i) made.high[i] = i < 32 ? k80To9F[i] : 0x80 + i;
    return made;
  }();
  return page;
}

const CodePage& HostCodePage() {
  static const CodePage page = ReadHostCodePage();
  return page;
}

std::string DecodeAnsi(std::string_view bytes, const CodePage& page) {
  std::string utf8;
  utf8.reserve(bytes.size());
  for (const char b : bytes) {
    const unsigned char byte = static_cast<unsigned char>(b);
    const char32_t c = byte < 0x80 ? byte : page.high[byte - 0x80u];
    if (c == 0 && byte != 0) {
      constexpr char kHex[] = "0123456789ABCDEF";
      utf8 += "\\x";
      utf8 += kHex[byte >> 4];
      utf8 += kHex[byte & 0xF];
    } else {
      AppendUtf8(utf8, c);
    }
  }
  return utf8;
}

std::optional<std::size_t> FirstNonUtf8(std::string_view text) {
  char32_t c = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = Utf8Sequence(text, at, c);
    if (length == 0) return at;
    at += length;
  }
  return std::nullopt;
}

std::wstring WideFromUtf8Text(std::string_view text) {
  std::wstring wide;
  wide.reserve(text.size());
  char32_t c = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = Utf8Sequence(text, at, c);
    if (length == 0) {  // not UTF-8 after all: the byte as itself
      c = static_cast<unsigned char>(text[at]);
    }
    at += length == 0 ? 1 : length;
    if (sizeof(wchar_t) == 2 && c >= 0x10000) {
      wide += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      wide += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      wide += static_cast<wchar_t>(c);
    }
  }
  return wide;
}

std::string CutUtf8(std::string_view text, std::size_t bytes) {
  if (text.size() <= bytes) return std::string(text);
  std::size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

}  // namespace velmora::devservice
