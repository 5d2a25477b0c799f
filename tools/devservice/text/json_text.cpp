#include "text/json_text.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include "text/text_model.h"

namespace velmora::devservice {
namespace {

// cppcheck takes members set by aggregate initialisation for unused.
struct Container {
  bool object;                           // cppcheck-suppress unusedStructMember
  bool expectingKey;                     // cppcheck-suppress unusedStructMember
  std::unordered_set<std::string> keys;  // cppcheck-suppress unusedStructMember
};

// A key as the parser will see it: escapes undone where there are any.
std::string KeyText(std::string_view quoted) {
  if (quoted.find('\\') == std::string_view::npos) {
    return std::string(quoted.substr(1, quoted.size() - 2));
  }
  const nlohmann::json key = nlohmann::json::parse(quoted, nullptr, false);
  return key.is_string() ? key.get<std::string>() : std::string(quoted);
}

bool IsNumberByte(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

}  // namespace

std::optional<JsonTextFault> CheckJsonText(std::string_view text, std::size_t maxDepth,
                                           std::vector<std::size_t>* objectsAtDepth2) {
  // The parser would refuse such a byte too, but quoting it in its message; and nothing the
  // service writes as JSON may hold it.
  if (const auto bad = FirstNonUtf8(text)) {
    char reason[64];
    (void)std::snprintf(reason, sizeof reason,
                        "the byte 0x%02X is not UTF-8: the text must be UTF-8",
                        static_cast<unsigned char>(text[*bad]));
    return JsonTextFault{*bad, reason};
  }
  std::vector<Container> open;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\0') return JsonTextFault{i, "a NUL byte: the file must be text"};
    if (c == '"') {
      const std::size_t start = i;
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\0') return JsonTextFault{i, "a NUL byte: the file must be text"};
        if (text[i] == '\\') ++i;
      }
      if (i >= text.size() || open.empty() || !open.back().object || !open.back().expectingKey) {
        continue;  // a value, or a string the parser will refuse
      }
      open.back().expectingKey = false;
      const std::string key = KeyText(text.substr(start, i + 1 - start));
      if (!open.back().keys.insert(key).second) {
        return JsonTextFault{start, "\"" + key + "\" is given twice in one object"};
      }
    } else if (c == '{' || c == '[') {
      if (open.size() >= maxDepth) {
        return JsonTextFault{i, "nested deeper than " + std::to_string(maxDepth) + " levels"};
      }
      if (c == '{' && open.size() == 2 && objectsAtDepth2 != nullptr) {
        objectsAtDepth2->push_back(i);
      }
      open.push_back({c == '{', c == '{', {}});
    } else if (c == '}' || c == ']') {
      if (!open.empty()) open.pop_back();
    } else if (c == ',') {
      if (!open.empty()) open.back().expectingKey = open.back().object;
    } else if ((c >= '0' && c <= '9') || c == '-') {
      std::size_t end = i;
      while (end < text.size() && IsNumberByte(text[end])) ++end;
      const std::string number(text.substr(i, end - i));
      errno = 0;
      const double value = std::strtod(number.c_str(), nullptr);
      if (std::isinf(value)) {
        return JsonTextFault{i, number.substr(0, 40) + " is too large a number"};
      }
      if (errno == ERANGE) {  // below what a double holds: it would be read as 0 or nearly
        return JsonTextFault{i, number.substr(0, 40) + " is too small a number"};
      }
      i = end - 1;
    }
  }
  return std::nullopt;
}

std::size_t LineAt(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + offset, '\n'));
}

}  // namespace velmora::devservice
