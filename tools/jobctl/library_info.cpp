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

std::string MachineOfPe(const std::string& fileStart) {
  auto word = [&](std::size_t at, std::size_t bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = bytes; i-- > 0;) {
      value = value << 8 | static_cast<unsigned char>(fileStart[at + i]);
    }
    return value;
  };
  if (fileStart.size() < 0x40 || fileStart.compare(0, 2, "MZ") != 0) return "";
  const std::uint32_t header = word(0x3C, 4);
  if (header > fileStart.size() - 6 ||
      fileStart.compare(header, 4, std::string("PE\0\0", 4)) != 0) {
    return "";
  }
  switch (word(header + 4, 2)) {
    case 0x14C:
      return "32-bit x86";
    case 0x8664:
      return "64-bit x64";
    case 0xAA64:
      return "64-bit ARM";
    default:
      return "";
  }
}

std::string LoadFailure(const std::string& dll, std::uint32_t error, const std::string& systemText,
                        const std::string& dllMachine, const std::string& ownMachine) {
  std::string message = "cannot load " + dll + ": ";
  constexpr std::uint32_t kBadExeFormat = 193;
  if (error == kBadExeFormat && !dllMachine.empty() && dllMachine != ownMachine) {
    message += "it is a " + dllMachine + " DLL and this jobctl is " + ownMachine +
               "; use the jobctl of the DLL's bitness";
  } else {
    message += (systemText.empty() ? std::string("no text for it") : systemText);
  }
  return message + " (error " + std::to_string(error) + ")";
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
