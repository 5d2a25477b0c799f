#include "client_session.h"

#include <string>

#include "pipe_server.h"
#include "service_protocol.h"

namespace velmora::devservice {
namespace {

LogTime Now() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

}  // namespace

bool ClientSessions::Serve(HANDLE pipe) {
  char frame[kFrameSize + 1] = {};
  DWORD received = 0;
  const Io read = Transfer(pipe, true, frame, kFrameSize, received, stop_);
  if (read == Io::kStopped) return false;
  if (read == Io::kFailed) return true;  // the client left without a request

  const Request request = ParseRequest(frame, received);
  if (options_.delayMs > 0 && WaitForSingleObject(stop_, options_.delayMs) == WAIT_OBJECT_0) {
    return false;
  }
  Outcome outcome = jobs_.Execute(request);
  if (options_.hangUp) outcome = {outcome.status, "(hung up before replying)"};
  log_.Write(Now(), request, outcome);
  if (!options_.hangUp) {
    std::string reply = FormatReply(request.jobId, outcome.status, outcome.message);
    DWORD written = 0;
    if (Transfer(pipe, false, reply.data(), kFrameSize, written, stop_) == Io::kDone) {
      // Disconnecting would discard a reply the client has not read: wait for it to close.
      char rest[kFrameSize];
      DWORD bytes = 0;
      while (Transfer(pipe, true, rest, sizeof rest, bytes, stop_) == Io::kDone) {
      }
    }
  }
  const long served = ++requests_;
  if (options_.maxRequests > 0 && served >= options_.maxRequests) {
    SetEvent(stop_);
    return false;
  }
  return WaitForSingleObject(stop_, 0) != WAIT_OBJECT_0;
}

}  // namespace velmora::devservice
