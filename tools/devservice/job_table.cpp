#include "job_table.h"

#include "job_command.h"

namespace velmora::devservice {
namespace {

const Outcome kNoSuchJob = {kStatusNotFound, "no such job"};
// What the service answers for commands it records but never carries out: it deletes no
// file, runs no process and changes no priority.
const Outcome kRecordedOnly = {kStatusOk, "recorded, nothing done"};

Outcome NotApplicable(const char* why) {
  return {kStatusInvalidState, why};
}

}  // namespace

const char* StateName(JobState state) {
  switch (state) {
    case JobState::kIdle:
      return "idle";
    case JobState::kRunning:
      return "running";
    case JobState::kCancelled:
      return "cancelled";
    case JobState::kDisabled:
      return "disabled";
  }
  return "?";
}

JobTable::JobTable(int jobs, std::size_t limit) : limit_(limit) {
  for (int job = 1; job <= jobs; ++job) jobs_[job] = Job();
}

std::optional<Job> JobTable::Find(std::int32_t jobId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = jobs_.find(jobId);
  if (found == jobs_.end()) return std::nullopt;
  return found->second;
}

Outcome JobTable::Execute(const Request& request) {
  if (!request.wellFormed) return {kStatusInvalidParameter, "malformed: " + request.problem};
  std::lock_guard<std::mutex> lock(mutex_);
  switch (static_cast<JobCommand>(request.command)) {
    case JobCommand::kStartJob:
      return Start(request.jobId);
    case JobCommand::kRestartJob:
      return Restart(request.jobId);
    case JobCommand::kCancelJob:
      return Cancel(request.jobId);
    case JobCommand::kDeleteJob:
      return Delete(request.jobId);
    case JobCommand::kChangeJobState:
      return ChangeState(request.jobId, request.param);
    case JobCommand::kStartMigJob:
      return Create(request.jobId, request.param, "migration started");
    case JobCommand::kStartSyncJob:
      return Create(request.jobId, request.param, "sync started");
    case JobCommand::kStartJobOnBoot:
    case JobCommand::kSetProcessPriority:
    case JobCommand::kDeleteJobFile:  // a job's file, or a file by name
    case JobCommand::kDeleteJobProfile:
    case JobCommand::kRunProcAsAdmin:
      return kRecordedOnly;
  }
  return {kStatusInvalidParameter, "unknown command"};
}

Outcome JobTable::Start(std::int32_t jobId) {
  const auto found = jobs_.find(jobId);
  if (found == jobs_.end()) return kNoSuchJob;
  Job& job = found->second;
  if (job.state == JobState::kRunning) return NotApplicable("already running");
  if (job.state == JobState::kDisabled) return NotApplicable("disabled");
  job.state = JobState::kRunning;
  return {kStatusOk, "started"};
}

Outcome JobTable::Restart(std::int32_t jobId) {
  const auto found = jobs_.find(jobId);
  if (found == jobs_.end()) return kNoSuchJob;
  Job& job = found->second;
  if (job.state == JobState::kDisabled) return NotApplicable("disabled");
  job.state = JobState::kRunning;
  return {kStatusOk, "restarted"};
}

Outcome JobTable::Cancel(std::int32_t jobId) {
  const auto found = jobs_.find(jobId);
  if (found == jobs_.end()) return kNoSuchJob;
  Job& job = found->second;
  if (job.state != JobState::kRunning) return NotApplicable("not running");
  job.state = JobState::kCancelled;
  return {kStatusOk, "cancelled"};
}

Outcome JobTable::Delete(std::int32_t jobId) {
  const auto found = jobs_.find(jobId);
  if (found == jobs_.end()) return kNoSuchJob;
  if (found->second.state == JobState::kRunning) return NotApplicable("running, cancel first");
  jobs_.erase(found);
  return {kStatusOk, "deleted"};
}

// The library sends "true" to enable a job and "false" to disable it.
Outcome JobTable::ChangeState(std::int32_t jobId, const std::string& state) {
  if (state != "true" && state != "false") return {kStatusInvalidParameter, "bad state"};
  const auto found = jobs_.find(jobId);
  if (found == jobs_.end()) return kNoSuchJob;
  Job& job = found->second;
  if (state == "true") {
    if (job.state != JobState::kDisabled) return NotApplicable("already enabled");
    job.state = JobState::kIdle;
    return {kStatusOk, "enabled"};
  }
  if (job.state == JobState::kDisabled) return NotApplicable("already disabled");
  if (job.state == JobState::kRunning) return NotApplicable("running, cancel first");
  job.state = JobState::kDisabled;
  return {kStatusOk, "disabled"};
}

// Migration and synchronisation jobs are created running, under the number the caller gives;
// a finished or idle job of that number is replaced.
Outcome JobTable::Create(std::int32_t jobId, const std::string& text, const char* started) {
  const auto found = jobs_.find(jobId);
  if (found != jobs_.end() && found->second.state == JobState::kRunning) {
    return NotApplicable("already running");
  }
  if (found != jobs_.end() && found->second.state == JobState::kDisabled) {
    return NotApplicable("disabled");
  }
  if (found == jobs_.end() && jobs_.size() >= limit_) {
    return {kStatusTableFull, "job table full"};
  }
  jobs_[jobId] = Job{JobState::kRunning, text};
  return {kStatusOk, started};
}

}  // namespace velmora::devservice
