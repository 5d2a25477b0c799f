// jobctl's command line: a subcommand with its operands, and the options around it. Parsing
// only; nothing here calls the platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "subcommands.h"

namespace velmora::jobctl {

// Exit codes of jobctl itself; after a call, the exit code is the call's status.
constexpr int kExitUsage = 2;          // bad command line
constexpr int kExitMissingExport = 2;  // the loaded edition lacks the export

struct Invocation {
  enum class Action { kCall, kInfo, kHelp };
  Action action = Action::kHelp;
  const Subcommand* subcommand = nullptr;
  std::vector<std::int32_t> numbers;  // numbers and states, in operand order
  std::vector<std::wstring> texts;    // text operands, in operand order
  std::wstring dllPath;               // empty: Velmora.dll beside jobctl.exe
  bool json = false;
  double timeoutSeconds = 0;  // 0: wait as long as the call does
  std::string error;          // set when the command line is not understood
};

// Reads the arguments after the program name.
Invocation ParseCommandLine(const std::vector<std::wstring>& args);

}  // namespace velmora::jobctl
