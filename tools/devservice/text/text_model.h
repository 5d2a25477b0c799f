// How the service reads texts. A request's text is bytes in the host's ANSI code page (the
// service runs on the host's machine, so the page is its own too): DecodeAnsi is the one reading
// of them, used alike by the rules, the journal and verify. Names, messages and patterns from
// rules files and control lines are UTF-8 and stay as written; a text that is not UTF-8 is
// refused where it comes in, so nothing written as JSON can meet a byte it cannot hold.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::devservice {

// What each byte from 0x80 up stands for in a single-byte code page; 0: no character.
struct CodePage {
  std::array<char32_t, 128> high{};
};
const CodePage& Windows1252();
// The system's ANSI code page as the service runs (Windows-1252 off Windows). A byte that is not
// a character on its own (a lead byte of a double-byte page) has none.
const CodePage& HostCodePage();

// The bytes as UTF-8; a byte with no character is kept, shown as "\xNN".
std::string DecodeAnsi(std::string_view bytes, const CodePage& page = HostCodePage());

// Where `text` stops being UTF-8 (the offset of the first byte that is not), if it does.
std::optional<std::size_t> FirstNonUtf8(std::string_view text);
// UTF-8 as wide characters (UTF-16 on Windows, UTF-32 elsewhere), so that a pattern's "." takes
// one character, not one byte. `text` must be UTF-8.
std::wstring WideFromUtf8Text(std::string_view text);
// At most `bytes` bytes of UTF-8 `text`, cut at a character's boundary.
std::string CutUtf8(std::string_view text, std::size_t bytes);

}  // namespace velmora::devservice
