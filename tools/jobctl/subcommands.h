// jobctl's subcommands: one per export of Velmora.dll that sends a request, with the operands
// each takes as columns.
#pragma once

#include <array>
#include <vector>

namespace velmora::jobctl {

// What an operand on the command line becomes in the call.
enum class Operand {
  kNone,
  kNumber,  // a 32-bit whole number: a job, or a priority
  kState,   // on|off (true|false, 1|0): the int state of ChangeJobState
  kText,    // a text, sent in the ANSI code page
};

struct Subcommand {
  const char* name;        // as typed: "start", "set-state" ...
  const char* exportName;  // "StartJob", "ChangeJobState" ...
  bool returnsStatus;      // false: the export returns nothing; its status is the last error
  std::array<Operand, 3> operands;  // in call order; numbers and states come before texts
  const char* usage;                // for the usage text: "JOB", "JOB on|off" ...

  int Count(Operand kind) const;
  int OperandCount() const { return 3 - Count(Operand::kNone); }
};

// Every subcommand that calls an export, in the order --help lists them.
const std::vector<Subcommand>& Subcommands();

}  // namespace velmora::jobctl
