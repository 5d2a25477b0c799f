// One request/reply exchange with the scheduler service over its pipe.
#pragma once

#include <cstdint>

#include "job_frames.h"
#include "pipe_system.h"

namespace velmora {

// Connects to the service (retrying for about two seconds while its pipe is missing, then
// waiting up to five seconds once while it is busy), sends the 1024-byte request frame, reads
// the 1024-byte reply and decodes it into `reply`, which must be zero-filled. Any failure on the
// way puts the platform's error code into reply.status and its text into reply.message. The
// pipe is closed before returning. Returns reply.status.
std::int32_t ExchangeWithService(JobReply& reply, const char (&requestFrame)[kFrameBufferSize],
                                 PipeSystem& pipes);

}  // namespace velmora
