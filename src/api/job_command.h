// The command code each export sends. 1288 is sent by no export.
#pragma once

#include <cstdint>

namespace velmora {

enum class JobCommand : std::int32_t {
  kStartJob = 1279,
  kRestartJob = 1280,
  kCancelJob = 1281,
  kDeleteJob = 1282,
  kChangeJobState = 1283,
  kStartJobOnBoot = 1284,
  kSetProcessPriority = 1285,
  kDeleteJobFile = 1286,  // by number, and by name with no job number
  kDeleteJobProfile = 1287,
  kStartMigJob = 1289,
  kStartSyncJob = 1290,
  kRunProcAsAdmin = 1291,
};

// The job number of commands that name no job.
constexpr std::int32_t kNoJob = -1;

}  // namespace velmora
