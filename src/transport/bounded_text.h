// Bounded copies and lengths for the fixed-size text fields of the records.
#pragma once

#include <cstddef>

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

}  // namespace velmora
