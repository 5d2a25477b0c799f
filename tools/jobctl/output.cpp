#include "output.h"

#include "json_text.h"

namespace velmora::jobctl {
namespace {

std::string Joined(const std::vector<std::string>& names, bool json) {
  std::string list;
  for (const std::string& name : names) {
    list += (list.empty() ? "" : ", ") + (json ? tools::JsonString(name) : name);
  }
  return list;
}

}  // namespace

std::string DescribeCall(const Invocation& invocation) {
  std::string call = std::string(invocation.subcommand->exportName) + "(";
  const char* separator = "";
  for (const std::int32_t number : invocation.numbers) {
    call += separator + std::to_string(number);
    separator = ", ";
  }
  for (const std::wstring& text : invocation.texts) {
    call += separator + tools::JsonString(text);
    separator = ", ";
  }
  return call + ")";
}

std::string UsageText() {
  std::string text =
      "usage: jobctl [--dll PATH] [--json] [--timeout SECONDS] SUBCOMMAND [--] [OPERANDS]\n"
      "       jobctl info | --help\n"
      "Calls one export of Velmora.dll (by default the one beside jobctl.exe) and exits with\n"
      "its status: 0 on success, otherwise the service's status or a system error code.\n"
      "jobctl itself exits with 2 when the command line is wrong or the export is missing.\n\n"
      "subcommands:\n";
  for (const Subcommand& subcommand : Subcommands()) {
    std::string line = std::string("  ") + subcommand.name + " " + subcommand.usage;
    line.resize(34, ' ');
    text += line + "calls " + subcommand.exportName + "\n";
  }
  text +=
      "  info                            which DLL, its edition, version and exports\n\n"
      "options:\n"
      "  --dll PATH        the Velmora.dll to load (either edition)\n"
      "  --json            print one JSON object per call\n"
      "  --timeout SECONDS cancel the call's blocked pipe I/O after this long (status 995)\n\n"
      "examples:\n"
      "  jobctl start 5\n"
      "  jobctl set-state 5 off\n"
      "  jobctl --timeout 10 sync 3 C:\\data\\in C:\\data\\out\n"
      "  jobctl --dll C:\\velmora\\edition2\\Velmora.dll info\n"
      "  jobctl start 5 || echo failed with %ERRORLEVEL%\n";
  return text;
}

std::string ResultText(const Invocation& invocation, const CallResult& result) {
  std::string text = DescribeCall(invocation) + ": status " + std::to_string(result.status);
  if (result.timedOut) {
    text += "\n  the service did not answer in time; the blocked call was cancelled";
  } else if (result.status == 0) {
    text += " (success)";
  } else if (!result.systemText.empty()) {
    // A service status and a system code look alike, so the system's text is only a guess.
    text += "\n  if this is a system error code: " + result.systemText;
  }
  return text + "\n";
}

std::string ResultJson(const Invocation& invocation, const CallResult& result) {
  std::string json = "{\"export\":\"" + std::string(invocation.subcommand->exportName) +
                     "\",\"call\":" + tools::JsonString(DescribeCall(invocation)) +
                     ",\"status\":" + std::to_string(result.status) +
                     ",\"timedOut\":" + (result.timedOut ? "true" : "false") + ",\"systemText\":";
  json += result.systemText.empty() ? "null" : tools::JsonString(result.systemText);
  json += ",\"dll\":" + tools::JsonString(result.dll) +
          ",\"version\":" + tools::JsonString(result.version) + "}\n";
  return json;
}

std::vector<std::string> InfoExportNames() {
  // The two scheduler no-ops have no subcommand; every other export has one.
  std::vector<std::string> names = {"StartScheduler", "StopScheduler"};
  for (const Subcommand& subcommand : Subcommands()) names.push_back(subcommand.exportName);
  return names;
}

std::string InfoText(const LibraryFacts& facts, bool json) {
  // The edition is the major version: 3.0.0.85 is edition 3.
  const std::string major = facts.version.substr(0, facts.version.find('.'));
  const bool known = !major.empty() && major.find_first_not_of("0123456789") == std::string::npos;
  const std::string edition = known ? major : (json ? "null" : "unknown");
  if (json) {
    return "{\"dll\":" + tools::JsonString(facts.dll) + ",\"version\":\"" + facts.version +
           "\",\"edition\":" + edition + ",\"exports\":[" + Joined(facts.exported, true) +
           "],\"missing\":[" + Joined(facts.missing, true) + "]}\n";
  }
  return "dll:      " + facts.dll + "\nversion:  " + facts.version + " (edition " + edition +
         ")\nexports:  " + Joined(facts.exported, false) +
         "\nmissing:  " + (facts.missing.empty() ? "none" : Joined(facts.missing, false)) + "\n";
}

}  // namespace velmora::jobctl
