#include "library_info.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace velmora::jobctl {
namespace {

bool Has(const std::vector<std::string>& names, const char* name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

std::string Listed(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
  return list;
}

}  // namespace

bool IsPeImage(const std::string& head) {
  constexpr std::size_t kPointerAt = 0x3C;
  if (head.size() < kPointerAt + 4 || head.compare(0, 2, "MZ") != 0) return false;
  std::size_t at = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    at |= std::size_t{static_cast<unsigned char>(head[kPointerAt + i])} << (8 * i);
  }
  return at <= head.size() && head.size() - at >= 4 &&
         head.compare(at, 4, std::string("PE\0\0", 4)) == 0;
}

std::string LoadFailure(const std::string& dll, std::uint32_t error, const std::string& systemText,
                        const std::string& ownMachine, const std::string& head) {
  // ERROR_BAD_EXE_FORMAT: most often a DLL of the other bitness, or no DLL at all.
  constexpr std::uint32_t kBadExeFormat = 193;
  std::string why = systemText.empty() ? "no text for it" : systemText;
  if (error == kBadExeFormat && !IsPeImage(head)) {
    why = "it is not a Windows DLL";
  } else if (error == kBadExeFormat) {
    why = "it is not a " + ownMachine +
          " DLL, which this jobctl needs; for a DLL of the other bitness use that jobctl";
  }
  return "cannot load " + dll + ": " + why + " (error " + std::to_string(error) + ")";
}

bool IsVelmora(const LibraryFacts& facts) {
  return facts.variable && Has(facts.exported, "StartScheduler") &&
         Has(facts.exported, "StopScheduler") && Has(facts.exported, "StartJob");
}

int EditionOf(const LibraryFacts& facts) {
  if (!IsVelmora(facts)) return 0;
  // The edition is the major version: 3.0.0.85 is edition 3.
  if (facts.version.rfind("3.", 0) == 0) return 3;
  if (facts.version.rfind("2.", 0) == 0) return 2;
  return 0;
}

std::string InfoText(const LibraryFacts& facts, bool json) {
  const bool velmora = IsVelmora(facts);
  const int edition = EditionOf(facts);
  if (json) {
    const nlohmann::ordered_json object = {
        {"dll", facts.dll},
        {"version", facts.version},
        {"velmora", velmora},
        {"edition", edition != 0 ? nlohmann::ordered_json(edition) : nlohmann::ordered_json()},
        {"exports", facts.exported},
        {"missing", facts.missing},
    };
    return object.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  }
  std::string text = "dll:      " + facts.dll + "\nversion:  " + facts.version;
  if (!velmora) {
    return text + "\nnot Velmora: it lacks " +
           (facts.exported.empty() ? std::string("every Velmora export")
                                   : "StartScheduler, StopScheduler, StartJob or nVelmora") +
           "\n";
  }
  text += " (edition " + (edition != 0 ? std::to_string(edition) : std::string("unknown")) + ")";
  return text + "\nexports:  " + Listed(facts.exported) +
         "\nmissing:  " + (facts.missing.empty() ? "none" : Listed(facts.missing)) + "\n";
}

}  // namespace velmora::jobctl
