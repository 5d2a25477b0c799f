// Every export of Velmora.dll in one table: the tools call, name and describe them from it, and
// the tests check against it. The command codes come from the library's own header.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "job_command.h"

namespace velmora::tools {

// What an operand on jobctl's command line becomes in the call.
enum class Operand {
  kNone,
  kNumber,  // a 32-bit whole number: a job, or a priority
  kState,   // on|off (true|false, 1|0): the int state of ChangeJobState
  kText,    // a text, sent in the ANSI code page
};

struct ExportInfo {
  const char* name;        // "StartJob"
  const char* subcommand;  // jobctl's word for it, "start"; nullptr for the scheduler no-ops
  std::optional<JobCommand> command;  // what it sends; nothing for the scheduler no-ops
  bool sendsJob;                      // a job number (or priority) rather than kNoJob
  std::array<Operand, 3> operands;    // in call order; numbers and states before texts
  const char* operandNames;           // "JOB", "JOB on|off" ...
  int firstEdition;                   // the first edition whose DLL exports it
  bool returnsStatus;                 // false: it returns nothing, and its status is the last error

  int Count(Operand kind) const;
  int OperandCount() const { return 3 - Count(Operand::kNone); }
};

// In the order jobctl's help lists them; the two scheduler no-ops last.
const std::vector<ExportInfo>& Exports();
// The export of that name; nullptr if none.
const ExportInfo* ExportNamed(std::string_view name);
// The export that sends `command` with `jobId` (DeleteJobFile and DeleteJobFileByName share a
// code; the second sends no job); nullptr for a code no export sends.
const ExportInfo* ExportSending(std::int32_t command, std::int32_t jobId);

}  // namespace velmora::tools
