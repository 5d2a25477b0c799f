#include "subcommands.h"

namespace velmora::jobctl {

int Subcommand::Count(Operand kind) const {
  int count = 0;
  for (const Operand operand : operands) count += operand == kind;
  return count;
}

const std::vector<Subcommand>& Subcommands() {
  using O = Operand;
  static const std::vector<Subcommand> subcommands = {
      {"start", "StartJob", true, {O::kNumber, O::kNone, O::kNone}, "JOB"},
      {"restart", "RestartJob", true, {O::kNumber, O::kNone, O::kNone}, "JOB"},
      {"cancel", "CancelJob", true, {O::kNumber, O::kNone, O::kNone}, "JOB"},
      {"delete", "DeleteJob", true, {O::kNumber, O::kNone, O::kNone}, "JOB"},
      {"set-state", "ChangeJobState", true, {O::kNumber, O::kState, O::kNone}, "JOB on|off"},
      {"start-on-boot", "StartJobOnBoot", false, {O::kNone, O::kNone, O::kNone}, ""},
      {"priority", "SetProcessPriority", false, {O::kNumber, O::kNone, O::kNone}, "N"},
      {"delete-file", "DeleteJobFile", true, {O::kNumber, O::kNone, O::kNone}, "JOB"},
      {"delete-file-by-name", "DeleteJobFileByName", true, {O::kText, O::kNone, O::kNone}, "NAME"},
      {"delete-profile", "DeleteJobProfile", true, {O::kNumber, O::kNone, O::kNone}, "JOB"},
      {"mig", "StartMigJob", true, {O::kNumber, O::kText, O::kNone}, "JOB TEXT"},
      {"sync", "StartSyncJob", true, {O::kNumber, O::kText, O::kText}, "JOB FIRST SECOND"},
      {"run-as-admin", "RunProcAsAdmin", true, {O::kText, O::kNone, O::kNone}, "COMMANDLINE"},
  };
  return subcommands;
}

}  // namespace velmora::jobctl
