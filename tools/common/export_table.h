// Every export of Velmora.dll in one table: the tools call, name and describe them from it, and
// the tests check against it. The command codes come from the library's own header.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "job_command.h"

namespace velmora::tools {

// What an operand on jobctl's command line becomes in the call.
enum class Operand {
  kNumber,  // a 32-bit whole number: a job, or a priority
  kState,   // on|off (true|false, 1|0): the int state of ChangeJobState
  kText,    // a text, sent in the ANSI code page
};
// The operand words name their kind: JOB and N are numbers, on|off a state, any other a text.
Operand OperandKind(std::string_view word);

struct ExportInfo {
  const char* name;                   // "StartJob"
  const char* subcommand;             // jobctl's word; nullptr for the scheduler no-ops
  std::optional<JobCommand> command;  // what it sends; nothing for the scheduler no-ops
  const char* operands;               // in call order, numbers and states before texts
  int firstEdition;                   // the first edition whose DLL exports it
  bool returnsStatus;                 // false: it returns nothing, and its status is the last error

  // Whether it sends a job number (or a priority) rather than kNoJob.
  bool SendsJob() const { return OperandKind(operands) == Operand::kNumber; }
};

// In the order jobctl's help lists them; the two scheduler no-ops last.
inline constexpr ExportInfo kExports[] = {
    {"StartJob", "start", JobCommand::kStartJob, "JOB", 2, true},
    {"RestartJob", "restart", JobCommand::kRestartJob, "JOB", 2, true},
    {"CancelJob", "cancel", JobCommand::kCancelJob, "JOB", 2, true},
    {"DeleteJob", "delete", JobCommand::kDeleteJob, "JOB", 2, true},
    {"ChangeJobState", "set-state", JobCommand::kChangeJobState, "JOB on|off", 2, true},
    {"StartJobOnBoot", "start-on-boot", JobCommand::kStartJobOnBoot, "", 2, false},
    {"SetProcessPriority", "priority", JobCommand::kSetProcessPriority, "N", 2, false},
    {"DeleteJobFile", "delete-file", JobCommand::kDeleteJobFile, "JOB", 2, true},
    {"DeleteJobFileByName", "delete-file-by-name", JobCommand::kDeleteJobFile, "NAME", 2, true},
    {"DeleteJobProfile", "delete-profile", JobCommand::kDeleteJobProfile, "JOB", 2, true},
    {"StartMigJob", "mig", JobCommand::kStartMigJob, "JOB TEXT", 3, true},
    {"StartSyncJob", "sync", JobCommand::kStartSyncJob, "JOB FIRST SECOND", 3, true},
    {"RunProcAsAdmin", "run-as-admin", JobCommand::kRunProcAsAdmin, "COMMANDLINE", 3, true},
    {"StartScheduler", nullptr, std::nullopt, "", 2, true},
    {"StopScheduler", nullptr, std::nullopt, "", 2, true},
};

// The export of that name; nullptr if none.
const ExportInfo* ExportNamed(std::string_view name);
// The export that sends `command` with `jobId` (DeleteJobFile and DeleteJobFileByName share a
// code; the second sends no job); nullptr for a code no export sends.
const ExportInfo* ExportSending(std::int32_t command, std::int32_t jobId);

}  // namespace velmora::tools
