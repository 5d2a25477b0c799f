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
  // A client that sends nothing, or only part of a request, would hold this instance for good:
  // past the time limit it is disconnected.
  char frame[kFrameSize + 1] = {};
  DWORD received = 0;
  const Io read =
      Transfer(pipe, true, frame, kFrameSize, received, stop_, options_.clientTimeoutMs);
  if (read == Io::kStopped) return false;
  if (read != Io::kDone) return true;  // the client left, or sent nothing in time

  const Request request = ParseRequest(frame, received);
  if (options_.delayMs > 0 && WaitForSingleObject(stop_, options_.delayMs) == WAIT_OBJECT_0) {
    return false;
  }
  Outcome outcome{};
  {
    std::lock_guard<std::mutex> lock(order_);
    outcome = jobs_.Execute(request);
    if (options_.hangUp) outcome = {outcome.status, "(hung up before replying)"};
    log_.Write(Now(), request, outcome);
  }
  if (!options_.hangUp) {
    std::string reply = FormatReply(request.jobId, outcome.status, outcome.message);
    DWORD written = 0;
    if (Transfer(pipe, false, reply.data(), kFrameSize, written, stop_) == Io::kDone) {
      // Disconnecting would discard a reply the client has not read: wait for it to close, but
      // not for longer than the time limit.
      char rest[kFrameSize];
      DWORD bytes = 0;
      while (Transfer(pipe, true, rest, sizeof rest, bytes, stop_, options_.clientTimeoutMs) ==
             Io::kDone) {
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
