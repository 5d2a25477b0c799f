// The members of a JSON object as the service's own formats take them (a control line, the
// verify conditions in it): a member that is absent reads as none, one of another type, or a
// number out of the range it is read into, is refused with the reason.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace velmora::devservice {

// Thrown by the readers below; whoever reads a whole line catches it and answers the reason.
struct MemberRefused {
  std::string error;
};

// The members an object may hold besides "op"; any other is refused, as a rules file's would be.
inline void OnlyMembers(const nlohmann::json& object, const std::string& what,
                        std::initializer_list<const char*> keys) {
  for (const auto& item : object.items()) {
    const std::string& key = item.key();
    if (key == "op") continue;
    if (std::none_of(keys.begin(), keys.end(), [&key](const char* k) { return key == k; })) {
      throw MemberRefused{what + " takes no \"" + key + "\""};
    }
  }
}

// A whole number that T holds: 1e27, 2^40 or -1 for an unsigned T is refused, never converted.
template <typename T>
std::optional<T> WholeMember(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end()) return std::nullopt;
  const bool fits =
      found->is_number_integer() &&
      (found->is_number_unsigned() ? found->get<std::uint64_t>() <=
                                         static_cast<std::uint64_t>(std::numeric_limits<T>::max())
                                   : found->get<std::int64_t>() >=
                                         static_cast<std::int64_t>(std::numeric_limits<T>::min()));
  if (!fits) throw MemberRefused{std::string("\"") + key + "\" must be a whole number"};
  return found->get<T>();
}

// A count, as the command line takes it: a whole number, 0 or more.
inline std::optional<long> CountMember(const nlohmann::json& object, const char* key) {
  const std::optional<long> count = WholeMember<long>(object, key);
  if (count && *count < 0) throw MemberRefused{std::string("\"") + key + "\" must be 0 or more"};
  return count;
}

// true when absent.
inline bool FlagMember(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end()) return true;
  if (!found->is_boolean()) {
    throw MemberRefused{std::string("\"") + key + "\" must be true or false"};
  }
  return found->get<bool>();
}

// "" when absent.
inline std::string TextMember(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end()) return "";
  if (!found->is_string()) throw MemberRefused{std::string("\"") + key + "\" must be a text"};
  return found->get<std::string>();
}

}  // namespace velmora::devservice
