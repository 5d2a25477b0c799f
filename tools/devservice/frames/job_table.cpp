#include "frames/job_table.h"

namespace velmora::devservice {
namespace {

const Outcome kNoSuchJob = {kStatusNotFound, "no such job"};
// What the service answers for commands it records but never carries out: it deletes no
// file, runs no process and changes no priority.
const Outcome kRecordedOnly = {kStatusOk, "recorded, nothing done"};

Outcome NotApplicable(const char* why) {
  return {kStatusInvalidState, why};
}

Outcome Become(Job& job, JobState state, const char* done) {
  job.state = state;
  return {kStatusOk, done};
}

}  // namespace

const char* StateName(JobState state) {
  constexpr const char* kNames[] = {"idle", "running", "cancelled", "disabled"};
  return kNames[static_cast<int>(state)];
}

JobTable::JobTable(int jobs, std::size_t limit) : limit_(limit) {
  Reset(jobs);
}

void JobTable::Reset(int jobs) {
  std::lock_guard<std::mutex> lock(mutex_);
  jobs_.clear();
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
  const auto command = static_cast<JobCommand>(request.command);
  std::lock_guard<std::mutex> lock(mutex_);
  switch (command) {
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
    case JobCommand::kChangeJobState:
      // The library sends "true" to enable a job and "false" to disable it.
      if (request.param != "true" && request.param != "false") {
        return {kStatusInvalidParameter, "bad state"};
      }
      [[fallthrough]];
    case JobCommand::kStartJob:
    case JobCommand::kRestartJob:
    case JobCommand::kCancelJob:
    case JobCommand::kDeleteJob: {
      const auto found = jobs_.find(request.jobId);
      if (found == jobs_.end()) return kNoSuchJob;
      if (command != JobCommand::kDeleteJob) return Change(command, found->second, request.param);
      if (found->second.state == JobState::kRunning) return NotApplicable("running, cancel first");
      jobs_.erase(found);
      return {kStatusOk, "deleted"};
    }
  }
  return {kStatusInvalidParameter, "unknown command"};
}

// What a command does to a job that exists, or why it does not apply.
Outcome JobTable::Change(JobCommand command, Job& job, const std::string& param) {
  const bool running = job.state == JobState::kRunning;
  const bool disabled = job.state == JobState::kDisabled;
  switch (command) {
    case JobCommand::kStartJob:
      if (running) return NotApplicable("already running");
      return disabled ? NotApplicable("disabled") : Become(job, JobState::kRunning, "started");
    case JobCommand::kRestartJob:
      return disabled ? NotApplicable("disabled") : Become(job, JobState::kRunning, "restarted");
    case JobCommand::kCancelJob:
      return running ? Become(job, JobState::kCancelled, "cancelled")
                     : NotApplicable("not running");
    case JobCommand::kChangeJobState:
      if (param == "true") {
        return disabled ? Become(job, JobState::kIdle, "enabled")
                        : NotApplicable("already enabled");
      }
      if (disabled) return NotApplicable("already disabled");
      return running ? NotApplicable("running, cancel first")
                     : Become(job, JobState::kDisabled, "disabled");
    default:
      return {kStatusInvalidParameter, "unknown command"};
  }
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
