// DecodeReply on any received frame: never reads or writes out of bounds, always leaves the
// message terminated within its bound, and gives the same record for the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "job_frames.h"

using velmora::DecodeReply;
using velmora::JobReply;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > velmora::kFrameSize) return -1;  // the read loop never delivers more
  // The receive buffer as the exchange hands it over: zero-filled, one byte longer than a frame.
  char received[velmora::kFrameBufferSize] = {};
  std::memcpy(received, data, size);

  JobReply first = {};
  JobReply second = {};
  DecodeReply(first, received);
  DecodeReply(second, received);

  if (strnlen(first.message, sizeof first.message) >= velmora::kTextBound) std::abort();
  if (std::memcmp(&first, &second, sizeof first) != 0) std::abort();
  return 0;
}
