// The per-call records and their 1024-byte text frames on the pipe. Nothing here does I/O.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

// Bytes written for a request and read for a reply.
constexpr std::size_t kFrameSize = 1024;
// A frame buffer keeps one more zero byte, so a received frame is always terminated.
constexpr std::size_t kFrameBufferSize = kFrameSize + 1;
constexpr std::size_t kParamSize = 524;
constexpr std::size_t kMessageSize = 264;
// Bound of every copy of a caller's text and of the reply message: 259 bytes and a terminator.
constexpr std::size_t kTextBound = 260;

struct JobRequest {
  std::int32_t jobId;  // the job number, -1 for none, or a priority value
  std::int32_t command;
  char param[kParamSize];
};

struct JobReply {
  std::int32_t jobId;
  std::int32_t status;  // the call's result: the service's status or a system error code
  char message[kMessageSize];
};

// Writes "jobId;command;param;" into `frame`, cut to `textBound` - 1 bytes (textBound is at most
// kFrameSize), followed by zero bytes up to the end of the buffer.
void EncodeRequest(const JobRequest& request, std::size_t textBound,
                   char (&frame)[kFrameBufferSize]);

// Reads the fields "jobId;status;message;" from the text of a received frame. Only the first
// kFrameSize bytes are looked at, up to the first zero byte. Missing fields are 0 and empty.
void DecodeReply(JobReply& reply, const char* text);

}  // namespace velmora
