#include "client_session.h"

#include <windows.h>

#include "service_protocol.h"

namespace velmora::devservice {
namespace {

LogTime Now() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

}  // namespace

tools::Answer ClientSessions::Serve(const std::string& bytes) {
  const Request request = ParseRequest(bytes.data(), bytes.size());
  Outcome outcome{};
  bool last = false;
  {
    std::lock_guard<std::mutex> lock(order_);
    if (options_.maxRequests > 0 && requests_ >= options_.maxRequests) {
      return {{FormatReply(request.jobId, kStatusStopping, "stopping: request limit reached")}};
    }
    outcome = jobs_.Execute(request);
    if (options_.hangUp) outcome = {outcome.status, "(hung up before replying)"};
    log_.Write(Now(), request, outcome);
    last = ++requests_ == options_.maxRequests;
  }
  if (last) lastRequest_();
  tools::Answer answer;
  answer.delayMs = options_.delayMs;
  answer.hangUp = options_.hangUp;
  if (!options_.hangUp) {
    answer.messages.push_back(FormatReply(request.jobId, outcome.status, outcome.message));
  }
  return answer;
}

}  // namespace velmora::devservice
