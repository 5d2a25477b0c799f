// The development service's side of the frames: reading a request frame, whatever its bytes,
// and writing a reply frame. No I/O here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "job_frames.h"

namespace velmora::devservice {

using velmora::kFrameSize;

// Statuses the service answers with: Windows error codes.
constexpr std::int32_t kStatusOk = 0;
constexpr std::int32_t kStatusInvalidParameter = 87;  // malformed request, unknown command
constexpr std::int32_t kStatusNotFound = 1168;        // no such job
constexpr std::int32_t kStatusInvalidState = 5023;    // the command does not apply to the job
constexpr std::int32_t kStatusTableFull = 1816;       // no room for another job

struct Request {
  bool wellFormed = false;
  std::int32_t jobId = 0;
  std::int32_t command = 0;
  std::string param;  // the bytes sent, in the host's ANSI code page: DecodeAnsi reads them
  // The text ended without its final ";": a client may cut a long request short.
  bool cut = false;
  std::string problem;  // why a request is not well formed
  // Of a malformed request: its first bytes (up to kShownBytes, as received) and how many came.
  std::string received;
  std::size_t size = 0;
};

// How many bytes of a malformed request are kept to be logged.
constexpr std::size_t kShownBytes = 48;

// Reads "jobId;command;param;" from the bytes received (at most a frame are looked at): the
// text runs to the first zero byte or to the end. The param may itself hold ";" (texts travel
// unescaped), so it runs to the last ";". A message of any size but a frame's is malformed:
// `messageSize` is the whole message's, of which `bytes` may hold only the first part.
Request ParseRequest(const char* bytes, std::size_t size, std::size_t messageSize);
inline Request ParseRequest(const char* bytes, std::size_t size) {
  return ParseRequest(bytes, size, size);
}

// "jobId;status;message;" padded with zero bytes to a whole frame. A message is cut at its
// first ";" (the client would end it there anyway) and to 259 bytes.
std::string FormatReply(std::int32_t jobId, std::int32_t status, const std::string& message);

}  // namespace velmora::devservice
