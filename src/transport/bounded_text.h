// Bounded copies, lengths and formatting for the fixed-size text fields of the records.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cwchar>

namespace velmora {

// Length of `text`, counting at most `limit` bytes: a field that lacks its terminator is never
// read past its end.
inline std::size_t BoundedLength(const char* text, std::size_t limit) {
  std::size_t length = 0;
  while (length < limit && text[length] != '\0') ++length;
  return length;
}

// Copies at most `bound` - 1 bytes of `source` (up to `sourceLength`) into `target` and always
// terminates it, so `target` must hold `bound` bytes. A longer text is cut, never refused.
inline void CopyBounded(char* target, std::size_t bound, const char* source,
                        std::size_t sourceLength) {
  if (bound == 0) return;
  const std::size_t count = sourceLength < bound - 1 ? sourceLength : bound - 1;
  for (std::size_t i = 0; i < count; ++i) target[i] = source[i];
  target[count] = '\0';
}

// The same for a terminated source text. Only the bytes that are kept are read: a caller's text
// that fills the bound exactly may end where its memory ends, without a terminator.
inline void CopyBounded(char* target, std::size_t bound, const char* source) {
  if (bound == 0) return;
  CopyBounded(target, bound, source, BoundedLength(source, bound - 1));
}

// Formats into `target`, which holds `size` characters, cut to fit and always terminated;
// returns the length kept. On Windows this is the system runtime's own printing (msvcrt's
// _snprintf, which leaves a text that fills the count unterminated), so the library needs none
// of a C runtime's start-up code.
template <typename... Args>
std::size_t FormatBounded(char* target, std::size_t size, const char* format, Args... args) {
  if (size == 0) return 0;
#ifdef _WIN32
  (void)_snprintf(target, size - 1, format, args...);
#else
  (void)std::snprintf(target, size, format, args...);
#endif
  target[size - 1] = '\0';
  return BoundedLength(target, size - 1);
}

template <typename... Args>
void FormatBounded(wchar_t* target, std::size_t size, const wchar_t* format, Args... args) {
  if (size == 0) return;
#ifdef _WIN32
  (void)_snwprintf(target, size - 1, format, args...);
#else
  (void)std::swprintf(target, size, format, args...);
#endif
  target[size - 1] = L'\0';
}

}  // namespace velmora
