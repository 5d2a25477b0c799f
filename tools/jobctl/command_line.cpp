#include "command_line.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "../common/json_text.h"

namespace velmora::jobctl {
namespace {

bool ParseInt32(const std::wstring& text, std::int32_t& value) {
  if (text.empty()) return false;
  wchar_t* end = nullptr;
  errno = 0;
  const long long number = std::wcstoll(text.c_str(), &end, 10);
  if (*end != L'\0' || errno != 0 || number < std::numeric_limits<std::int32_t>::min() ||
      number > std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  value = static_cast<std::int32_t>(number);
  return true;
}

// "on" enables a job and "off" disables it; true/false and 1/0 are understood too.
bool ParseState(const std::wstring& text, std::int32_t& state) {
  if (text == L"on" || text == L"true" || text == L"1") {
    state = 1;
  } else if (text == L"off" || text == L"false" || text == L"0") {
    state = 0;
  } else {
    return false;
  }
  return true;
}

// How many operands of each kind a signature takes: numbers first, then texts.
void OperandCounts(Signature signature, int& numbers, int& texts) {
  switch (signature) {
    case Signature::kIntFromInt:
      numbers = 1;
      texts = 0;
      return;
    case Signature::kIntFromIntInt:
      numbers = 2;
      texts = 0;
      return;
    case Signature::kVoidFromVoid:
      numbers = 0;
      texts = 0;
      return;
    case Signature::kVoidFromInt:
      numbers = 1;
      texts = 0;
      return;
    case Signature::kIntFromText:
      numbers = 0;
      texts = 1;
      return;
    case Signature::kIntFromIntText:
      numbers = 1;
      texts = 1;
      return;
    case Signature::kIntFromIntTextText:
      numbers = 1;
      texts = 2;
      return;
  }
}

Invocation Failed(Invocation invocation, std::string error) {
  invocation.error = std::move(error);
  return invocation;
}

}  // namespace

const std::vector<Subcommand>& Subcommands() {
  static const std::vector<Subcommand> subcommands = {
      {"start", "StartJob", Signature::kIntFromInt, "JOB"},
      {"restart", "RestartJob", Signature::kIntFromInt, "JOB"},
      {"cancel", "CancelJob", Signature::kIntFromInt, "JOB"},
      {"delete", "DeleteJob", Signature::kIntFromInt, "JOB"},
      {"set-state", "ChangeJobState", Signature::kIntFromIntInt, "JOB on|off"},
      {"start-on-boot", "StartJobOnBoot", Signature::kVoidFromVoid, ""},
      {"priority", "SetProcessPriority", Signature::kVoidFromInt, "N"},
      {"delete-file", "DeleteJobFile", Signature::kIntFromInt, "JOB"},
      {"delete-file-by-name", "DeleteJobFileByName", Signature::kIntFromText, "NAME"},
      {"delete-profile", "DeleteJobProfile", Signature::kIntFromInt, "JOB"},
      {"mig", "StartMigJob", Signature::kIntFromIntText, "JOB TEXT"},
      {"sync", "StartSyncJob", Signature::kIntFromIntTextText, "JOB FIRST SECOND"},
      {"run-as-admin", "RunProcAsAdmin", Signature::kIntFromText, "COMMANDLINE"},
  };
  return subcommands;
}

Invocation ParseCommandLine(const std::vector<std::wstring>& args) {
  Invocation invocation;
  std::vector<std::wstring> operands;
  bool named = false;
  bool optionsEnded = false;  // after "--" every argument is an operand
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::wstring& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (optionsEnded && named) {
      operands.push_back(arg);
    } else if (arg == L"--") {
      optionsEnded = true;
    } else if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
      invocation.action = Invocation::Action::kHelp;
      return invocation;
    } else if (arg == L"--json") {
      invocation.json = true;
    } else if (arg == L"--dll") {
      if (!hasValue) return Failed(invocation, "--dll needs a path");
      invocation.dllPath = args[++i];
    } else if (arg == L"--timeout") {
      if (!hasValue) return Failed(invocation, "--timeout needs a number of seconds");
      wchar_t* end = nullptr;
      const double seconds = std::wcstod(args[++i].c_str(), &end);
      if (*end != L'\0' || !(seconds > 0) || seconds > 86400) {
        return Failed(invocation, "--timeout needs a number of seconds above 0");
      }
      invocation.timeoutSeconds = seconds;
    } else if (arg.size() > 2 && arg.compare(0, 2, L"--") == 0 && !named) {
      return Failed(invocation, "unknown option " + Utf8(arg));
    } else if (!named) {
      named = true;
      if (arg == L"info") {
        invocation.action = Invocation::Action::kInfo;
        continue;
      }
      for (const Subcommand& subcommand : Subcommands()) {
        if (Utf8(arg) == subcommand.name) invocation.subcommand = &subcommand;
      }
      if (invocation.subcommand == nullptr) {
        return Failed(invocation, "unknown subcommand " + Utf8(arg));
      }
      invocation.action = Invocation::Action::kCall;
    } else {
      operands.push_back(arg);  // after the subcommand, texts may start with "-"
    }
  }
  if (!named) return Failed(invocation, "no subcommand given");
  if (invocation.action == Invocation::Action::kInfo) {
    if (!operands.empty()) return Failed(invocation, "info takes no operands");
    return invocation;
  }

  const Subcommand& subcommand = *invocation.subcommand;
  int numbers = 0;
  int texts = 0;
  OperandCounts(subcommand.signature, numbers, texts);
  if (operands.size() != static_cast<std::size_t>(numbers + texts)) {
    std::string usage = std::string(subcommand.name) + " " + subcommand.operands;
    while (!usage.empty() && usage.back() == ' ') usage.pop_back();
    return Failed(invocation, "usage: jobctl " + usage);
  }
  for (int i = 0; i < numbers; ++i) {
    std::int32_t value = 0;
    const bool state = subcommand.signature == Signature::kIntFromIntInt && i == 1;
    if (state ? !ParseState(operands[i], value) : !ParseInt32(operands[i], value)) {
      return Failed(invocation, state ? "the state must be on or off, not " + Utf8(operands[i])
                                      : Utf8(operands[i]) + " is not a 32-bit whole number");
    }
    invocation.numbers.push_back(value);
  }
  invocation.texts.assign(operands.begin() + numbers, operands.end());
  return invocation;
}

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
    std::string line = std::string("  ") + subcommand.name + " " + subcommand.operands;
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

std::string Utf8(const std::wstring& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned long code = static_cast<unsigned long>(text[i]);
    // UTF-16 surrogate pairs, where wchar_t is 16 bits.
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size()) {
      const unsigned long low = static_cast<unsigned long>(text[i + 1]);
      if (low >= 0xDC00 && low < 0xE000) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

}  // namespace velmora::jobctl
