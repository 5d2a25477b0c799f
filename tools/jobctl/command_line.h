// jobctl's command line: a subcommand with its operands, and the options around it. Parsing
// only; nothing here calls the platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "subcommands.h"

namespace velmora::jobctl {

// Exit codes of jobctl's own failures, Windows codes that are never 0 or 2; after a call, the
// exit code is the call's status.
constexpr int kExitUsage = 1639;         // ERROR_INVALID_COMMAND_LINE: a bad command line
constexpr int kExitMissingExport = 127;  // ERROR_PROC_NOT_FOUND: the export, or Velmora, is absent
constexpr int kExitCannotLoad = 1157;    // ERROR_DLL_NOT_FOUND: the DLL does not load
constexpr int kExitNotRepresentable = 1113;  // ERROR_NO_UNICODE_TRANSLATION: a text's character
                                             // is not in the ANSI code page

struct Invocation {
  enum class Action { kCall, kInfo, kHelp, kVersion };
  Action action = Action::kHelp;
  const Subcommand* subcommand = nullptr;
  std::vector<std::int32_t> numbers;  // numbers and states, in operand order
  std::vector<std::wstring> texts;    // text operands, in operand order
  std::wstring dllPath;               // empty: Velmora.dll beside jobctl.exe
  bool json = false;
  bool quiet = false;         // nothing on stdout; failures still on stderr
  double timeoutSeconds = 0;  // 0: wait as long as the call does
  std::string error;          // set when the command line is not understood
};

// Reads the arguments after the program name.
Invocation ParseCommandLine(const std::vector<std::wstring>& args);

}  // namespace velmora::jobctl
