#include "command_line.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "utf8.h"

namespace velmora::jobctl {
namespace {

using tools::Utf8;

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

Invocation Failed(Invocation invocation, std::string error) {
  invocation.error = std::move(error);
  return invocation;
}

}  // namespace

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
    } else if (arg == L"--version") {
      invocation.action = Invocation::Action::kVersion;
      return invocation;
    } else if (arg == L"--json") {
      invocation.json = true;
    } else if (arg == L"--quiet" || arg == L"-q") {
      invocation.quiet = true;
    } else if (arg == L"--dll") {
      if (!hasValue || args[i + 1].empty()) return Failed(invocation, "--dll needs a path");
      invocation.dllPath = args[++i];
    } else if (arg == L"--timeout") {
      constexpr const char* kRange = "--timeout needs a number of seconds from 0.001 to 86400";
      if (!hasValue) return Failed(invocation, kRange);
      const std::wstring& text = args[++i];
      wchar_t* end = nullptr;
      const double seconds = std::wcstod(text.c_str(), &end);
      if (text.empty() || *end != L'\0' || !(seconds >= 0.001) || seconds > 86400) {
        return Failed(invocation, std::string(kRange) + ", not \"" + Utf8(text) + "\"");
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
  if (operands.size() != static_cast<std::size_t>(subcommand.OperandCount())) {
    std::string usage = std::string(subcommand.name) + " " + subcommand.usage;
    while (!usage.empty() && usage.back() == ' ') usage.pop_back();
    return Failed(invocation, "usage: jobctl " + usage);
  }
  for (std::size_t i = 0; i < operands.size(); ++i) {
    std::int32_t value = 0;
    switch (subcommand.operands[i]) {
      case Operand::kNumber:
        if (!ParseInt32(operands[i], value)) {
          return Failed(invocation, Utf8(operands[i]) + " is not a 32-bit whole number");
        }
        invocation.numbers.push_back(value);
        break;
      case Operand::kState:
        if (!ParseState(operands[i], value)) {
          return Failed(invocation, "the state must be on or off, not " + Utf8(operands[i]));
        }
        invocation.numbers.push_back(value);
        break;
      case Operand::kText:
        invocation.texts.push_back(operands[i]);
        break;
      case Operand::kNone:
        break;
    }
  }
  return invocation;
}

}  // namespace velmora::jobctl
