// What the JSON parser would accept but the service must not: a text is looked over once, before
// it is parsed, for a byte that is not UTF-8, what would end the parse early (a NUL byte),
// exhaust the stack (deep nesting), overflow or underflow a number, or be read silently the wrong
// way (an object naming a key twice, of which only the last would count).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::devservice {

struct JsonTextFault {
  std::size_t offset;  // the byte where the fault is
  std::string reason;
};

// Looks `text` over; the first fault found, if any. `objectsAtDepth2`, when given, gets the byte
// where each object two levels down begins (the rules in a rules file).
std::optional<JsonTextFault> CheckJsonText(std::string_view text, std::size_t maxDepth,
                                           std::vector<std::size_t>* objectsAtDepth2 = nullptr);

// The line (from 1) that holds byte `offset` of `text`.
std::size_t LineAt(std::string_view text, std::size_t offset);

}  // namespace velmora::devservice
