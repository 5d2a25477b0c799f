// The path every sending export shares: encode, exchange, report.
#pragma once

#include <cstdint>

#include "../transport/job_frames.h"

namespace velmora {

// The status of a call given a null text: nothing is sent.
constexpr std::int32_t kErrorInvalidParameter = 87;

// Sends the filled request to the service and returns the reply's status, also stored as the
// calling thread's last-error value.
std::int32_t SendJobCommand(const JobRequest& request);

// Stores `status` as the calling thread's last-error value and returns it.
std::int32_t ReportStatus(std::int32_t status);

}  // namespace velmora
