// jobctl's command line, declared with CLI11 from the export table: global options, then one
// subcommand per export and its operands. Parsing only; nothing here calls the platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "export_table.h"

namespace velmora::jobctl {

// Exit codes of jobctl's own failures, Windows codes that are never 0 or 2, nor are their low
// 8 bits; after a call, the exit code is the call's status (see ExitCodeFor).
constexpr int kExitUsage = 1639;         // ERROR_INVALID_COMMAND_LINE: a bad command line
constexpr int kExitMissingExport = 127;  // ERROR_PROC_NOT_FOUND: the export, or Velmora, is absent
constexpr int kExitCannotLoad = 1157;    // ERROR_DLL_NOT_FOUND: the DLL does not load
constexpr int kExitNotRepresentable = 1113;  // ERROR_NO_UNICODE_TRANSLATION: a text's character
                                             // cannot be sent

struct Invocation {
  enum class Action { kCall, kInfo, kHelp, kVersion };
  Action action = Action::kHelp;
  const tools::ExportInfo* call = nullptr;
  std::vector<std::int32_t> numbers;  // numbers and states, in operand order
  std::vector<std::string> texts;     // text operands, UTF-8, in operand order
  std::string dllPath;                // UTF-8; empty: Velmora.dll beside jobctl.exe
  bool json = false;                  // every outcome as one JSON object on stdout
  bool quiet = false;                 // no output on success; failures still on stderr
  double timeoutSeconds = 0;          // 0: wait as long as the call does
  std::string error;                  // set when the command line is not understood
  bool showUsage = false;             // with the error: print the usage too (a bare jobctl)
  std::string helpFor;                // kHelp for one subcommand ("start --help"); empty: all
};

// Reads the arguments after the program name, UTF-8. Options come before the subcommand;
// everything after it is an operand, so texts may start with "-" or "/". A subcommand whose
// operands are refused but include -h, --help or /? asks for its own help.
Invocation ParseCommandLine(const std::vector<std::string>& args);

// The help, made from the same declaration: all of it, or one subcommand's.
std::string UsageText(const std::string& subcommand = "");

}  // namespace velmora::jobctl
