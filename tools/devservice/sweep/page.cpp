#include "sweep/page.h"

#include <kainjow/mustache.hpp>
#include <nlohmann/json.hpp>

namespace velmora::devservice {
namespace {

using Data = kainjow::mustache::data;

Data ToData(const nlohmann::json& value) {
  if (value.is_object()) {
    Data object;
    for (const auto& [key, item] : value.items()) object.set(key, ToData(item));
    return object;
  }
  if (value.is_array()) {
    Data list{Data::type::list};
    for (const auto& item : value) list.push_back(ToData(item));
    return list;
  }
  if (value.is_boolean()) return Data{value.get<bool>()};
  if (value.is_string()) return Data{value.get<std::string>()};
  return Data{value.dump()};  // numbers as JSON writes them; null as "null"
}

}  // namespace

std::string RenderPage(const std::string& pageTemplate, const std::string& pageData,
                       std::string& error) {
  kainjow::mustache::mustache page{pageTemplate};
  if (!page.is_valid()) {
    error = "the page's template: " + page.error_message();
    return std::string();
  }
  return page.render(ToData(nlohmann::json::parse(pageData)));
}

}  // namespace velmora::devservice
