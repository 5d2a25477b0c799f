// The development service's jobs and what each command does to them. Jobs 1..N exist at start,
// idle. Statuses are Windows error codes (see service_protocol.h); messages are short words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "frames/service_protocol.h"
#include "job_command.h"

namespace velmora::devservice {

// The most jobs the table holds, those made at start included.
constexpr int kMaxJobs = 100000;

enum class JobState { kIdle, kRunning, kCancelled, kDisabled };
const char* StateName(JobState state);

struct Job {
  JobState state = JobState::kIdle;
  std::string text;  // the migration or synchronisation text a job was created with
};

struct Outcome {
  std::int32_t status;
  std::string message;
};

class JobTable {
 public:
  // Jobs 1..jobs exist at start; a request that would create a job beyond `limit` gets
  // kStatusTableFull.
  explicit JobTable(int jobs, std::size_t limit = kMaxJobs);

  // Carries out one request; safe to call from several connections at once.
  Outcome Execute(const Request& request);

  // The job as it stands, if it exists.
  std::optional<Job> Find(std::int32_t jobId) const;

  // Back to jobs 1..jobs, each idle, as at the start.
  void Reset(int jobs);

 private:
  Outcome Change(JobCommand command, Job& job, const std::string& param);
  Outcome Create(std::int32_t jobId, const std::string& text, const char* started);

  const std::size_t limit_;
  mutable std::mutex mutex_;
  std::map<std::int32_t, Job> jobs_;
};

}  // namespace velmora::devservice
