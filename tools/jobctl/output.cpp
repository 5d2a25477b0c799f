#include "output.h"

#include <algorithm>

#include "json_text.h"
#include "utf8.h"

namespace velmora::jobctl {
namespace {

// What the library keeps of a single text, of the joined texts of StartSyncJob, and of the
// whole request text in edition 2.
constexpr std::size_t kTextKept = 259;
constexpr std::size_t kJoinedKept = 523;
constexpr std::size_t kEdition2RequestKept = 259;

// jobctl's own texts are UTF-8.
std::string Json(const std::string& utf8) {
  return tools::JsonString(tools::WideFromUtf8(utf8));
}

std::string Joined(const std::vector<std::string>& names, bool json) {
  std::string list;
  for (const std::string& name : names) {
    list += (list.empty() ? "" : ", ") + (json ? Json(name) : name);
  }
  return list;
}

std::string JsonList(const std::vector<std::string>& items) {
  return "[" + Joined(items, true) + "]";
}

bool Has(const std::vector<std::string>& names, const char* name) {
  return std::find(names.begin(), names.end(), name) != names.end();
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
      "usage: jobctl [--dll PATH] [--json] [--quiet] [--timeout SECONDS] SUBCOMMAND [--]\n"
      "              [OPERANDS]\n"
      "       jobctl [--dll PATH] [--json] info | --help | --version\n"
      "Calls one export of Velmora.dll (by default the one beside jobctl.exe) and exits with\n"
      "its status: 0 on success, otherwise the service's status or a system error code.\n\n"
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
      "  --json            print one JSON object, for the call and for any failure\n"
      "  --quiet           print nothing but failures; the exit code tells the status\n"
      "  --timeout SECONDS cancel the call's blocked pipe I/O after this long, 0.001 to 86400\n"
      "                    (status 995; the service may already have acted)\n"
      "  --version         print jobctl's version\n\n"
      "texts are sent in the ANSI code page; a character it cannot hold is refused, not\n"
      "replaced.\n\n"
      "exit codes of jobctl's own failures (never 0 or 2):\n"
      "  1639  the command line is wrong\n"
      "  1157  the DLL does not load\n"
      "   127  the DLL lacks the export, or is not Velmora\n"
      "  1113  a text has a character the ANSI code page cannot hold\n"
      "(a Unix shell under Wine sees only the low 8 bits: 103, 133, 127, 89)\n\n"
      "examples:\n"
      "  jobctl start 5\n"
      "  jobctl set-state 5 off\n"
      "  jobctl --timeout 10 sync 3 C:\\data\\in C:\\data\\out\n"
      "  jobctl --dll C:\\velmora\\edition2\\Velmora.dll info\n"
      "  in a batch file, on two lines (cmd expands %ERRORLEVEL% in a line before running it):\n"
      "    jobctl --quiet start 5\n"
      "    if errorlevel 1 echo failed with %ERRORLEVEL%\n";
  return text;
}

StatusMeaning MeaningOf(std::int32_t status, bool timedOut) {
  const char* kMayHaveActed = "; the service may already have acted on the request";
  if (timedOut) {
    return {std::string("the service did not answer in time and the call was cancelled") +
                kMayHaveActed,
            true};
  }
  switch (status) {
    case 0:
      return {"success", false};
    case 2:
      return {"no service is listening on \\\\.\\pipe\\pipe_job", false};
    case 121:
    case 231:
      return {"every instance of the service's pipe stayed busy; nothing was sent", false};
    case 109:
    case 233:
      return {
          std::string("the service closed the connection before its reply came") + kMayHaveActed,
          true};
    case 230:
      return {std::string("the service sent empty messages instead of a reply") + kMayHaveActed,
              true};
    case 995:
      return {std::string("the call was cancelled before the reply came") + kMayHaveActed, true};
    default:
      return {"", false};
  }
}

std::string ResultText(const Invocation& invocation, const CallResult& result) {
  std::string text = DescribeCall(invocation) + ": status " + std::to_string(result.status);
  const StatusMeaning meaning = MeaningOf(result.status, result.timedOut);
  if (result.status == 0 && !result.timedOut) {
    text += " (success)";
  } else if (!meaning.text.empty()) {
    // A service status and a system code look alike: the reading is the likely one.
    text += "\n  most likely: " + meaning.text;
  } else if (!result.systemText.empty()) {
    text += "\n  if this is a system error code: " + result.systemText;
  }
  return text + "\n";
}

std::string ResultJson(const Invocation& invocation, const CallResult& result) {
  const StatusMeaning meaning = MeaningOf(result.status, result.timedOut);
  std::string json = "{\"export\":\"" + std::string(invocation.subcommand->exportName) +
                     "\",\"call\":" + Json(DescribeCall(invocation)) +
                     ",\"status\":" + std::to_string(result.status) +
                     ",\"timedOut\":" + (result.timedOut ? "true" : "false") + ",\"systemText\":";
  json += result.systemText.empty() ? "null" : Json(result.systemText);
  json += ",\"meaning\":";
  json += meaning.text.empty() ? "null" : Json(meaning.text);
  json += std::string(",\"mayHaveActed\":") + (meaning.mayHaveActed ? "true" : "false") +
          ",\"notes\":" + JsonList(result.notes) + ",\"dll\":" + Json(result.dll) +
          ",\"version\":" + Json(result.version) + "}\n";
  return json;
}

std::vector<std::string> CutNotes(const Invocation& invocation,
                                  const std::vector<std::size_t>& ansiLengths, int edition) {
  std::vector<std::string> notes;
  std::size_t param = 0;
  if (ansiLengths.size() == 2) {
    param = ansiLengths[0] + 1 + ansiLengths[1];
    if (param > kJoinedKept) {
      notes.push_back("the two texts joined are " + std::to_string(param) +
                      " bytes; the library sends their first " + std::to_string(kJoinedKept));
      param = kJoinedKept;
    }
  } else if (ansiLengths.size() == 1) {
    param = ansiLengths[0];
    if (param > kTextKept) {
      notes.push_back("the text is " + std::to_string(param) +
                      " bytes; the library sends its first " + std::to_string(kTextKept));
      param = kTextKept;
    }
  }
  if (edition == 2) {
    // "job;code;param;": the job number (-1 for none), a four-digit code, three separators.
    const std::string job =
        invocation.numbers.empty() ? "-1" : std::to_string(invocation.numbers[0]);
    const std::size_t request = job.size() + 4 + param + 3;
    if (request > kEdition2RequestKept) {
      notes.push_back("the request text is " + std::to_string(request) +
                      " bytes; edition 2 sends its first " + std::to_string(kEdition2RequestKept));
    }
  }
  return notes;
}

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

std::string FailureText(const std::string& message) {
  return "jobctl: " + message + "\n";
}

std::string FailureJson(const char* kind, const std::string& message, int exitCode) {
  return std::string("{\"error\":\"") + kind + "\",\"message\":" + Json(message) +
         ",\"exitCode\":" + std::to_string(exitCode) + "}\n";
}

std::vector<std::string> InfoExportNames() {
  // The two scheduler no-ops have no subcommand; every other export has one.
  std::vector<std::string> names = {"StartScheduler", "StopScheduler"};
  for (const Subcommand& subcommand : Subcommands()) names.push_back(subcommand.exportName);
  return names;
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
    return "{\"dll\":" + Json(facts.dll) + ",\"version\":\"" + facts.version +
           "\",\"velmora\":" + (velmora ? "true" : "false") +
           ",\"edition\":" + (edition != 0 ? std::to_string(edition) : "null") +
           ",\"exports\":" + JsonList(facts.exported) + ",\"missing\":" + JsonList(facts.missing) +
           "}\n";
  }
  std::string text = "dll:      " + facts.dll + "\nversion:  " + facts.version;
  if (!velmora) {
    return text + "\nnot Velmora: it lacks " +
           (facts.exported.empty() ? std::string("every Velmora export")
                                   : "StartScheduler, StopScheduler, StartJob or nVelmora") +
           "\n";
  }
  text += " (edition " + (edition != 0 ? std::to_string(edition) : std::string("unknown")) + ")";
  return text + "\nexports:  " + Joined(facts.exported, false) +
         "\nmissing:  " + (facts.missing.empty() ? "none" : Joined(facts.missing, false)) + "\n";
}

}  // namespace velmora::jobctl
