#include "export_table.h"

namespace velmora::tools {

int ExportInfo::Count(Operand kind) const {
  int count = 0;
  for (const Operand operand : operands) count += operand == kind;
  return count;
}

const std::vector<ExportInfo>& Exports() {
  using C = JobCommand;
  using O = Operand;
  constexpr std::array<O, 3> kJob = {O::kNumber, O::kNone, O::kNone};
  constexpr std::array<O, 3> kNothing = {O::kNone, O::kNone, O::kNone};
  static const std::vector<ExportInfo> exports = {
      {"StartJob", "start", C::kStartJob, true, kJob, "JOB", 2, true},
      {"RestartJob", "restart", C::kRestartJob, true, kJob, "JOB", 2, true},
      {"CancelJob", "cancel", C::kCancelJob, true, kJob, "JOB", 2, true},
      {"DeleteJob", "delete", C::kDeleteJob, true, kJob, "JOB", 2, true},
      {"ChangeJobState",
       "set-state",
       C::kChangeJobState,
       true,
       {O::kNumber, O::kState, O::kNone},
       "JOB on|off",
       2,
       true},
      {"StartJobOnBoot", "start-on-boot", C::kStartJobOnBoot, false, kNothing, "", 2, false},
      {"SetProcessPriority", "priority", C::kSetProcessPriority, true, kJob, "N", 2, false},
      {"DeleteJobFile", "delete-file", C::kDeleteJobFile, true, kJob, "JOB", 2, true},
      {"DeleteJobFileByName",
       "delete-file-by-name",
       C::kDeleteJobFile,
       false,
       {O::kText, O::kNone, O::kNone},
       "NAME",
       2,
       true},
      {"DeleteJobProfile", "delete-profile", C::kDeleteJobProfile, true, kJob, "JOB", 2, true},
      {"StartMigJob",
       "mig",
       C::kStartMigJob,
       true,
       {O::kNumber, O::kText, O::kNone},
       "JOB TEXT",
       3,
       true},
      {"StartSyncJob",
       "sync",
       C::kStartSyncJob,
       true,
       {O::kNumber, O::kText, O::kText},
       "JOB FIRST SECOND",
       3,
       true},
      {"RunProcAsAdmin",
       "run-as-admin",
       C::kRunProcAsAdmin,
       false,
       {O::kText, O::kNone, O::kNone},
       "COMMANDLINE",
       3,
       true},
      {"StartScheduler", nullptr, std::nullopt, false, kNothing, "", 2, true},
      {"StopScheduler", nullptr, std::nullopt, false, kNothing, "", 2, true},
  };
  return exports;
}

const ExportInfo* ExportNamed(std::string_view name) {
  for (const ExportInfo& info : Exports()) {
    if (name == info.name) return &info;
  }
  return nullptr;
}

const ExportInfo* ExportSending(std::int32_t command, std::int32_t jobId) {
  const ExportInfo* found = nullptr;
  for (const ExportInfo& info : Exports()) {
    if (!info.command || static_cast<std::int32_t>(*info.command) != command) continue;
    if (found == nullptr || info.sendsJob == (jobId != kNoJob)) found = &info;
  }
  return found;
}

}  // namespace velmora::tools
