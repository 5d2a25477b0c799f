#include "send_job_command.h"

#include "../transport/exchange.h"
#include "../transport/pipe_system.h"

#ifndef VELMORA_EDITION
#error "VELMORA_EDITION must be set to 2 or 3 by the build"
#endif

namespace velmora {
namespace {

// The one thing the editions differ in at run time: edition 2 cut the request text at 260
// bytes, edition 3 lets it fill the frame.
constexpr std::size_t kRequestTextBound = VELMORA_EDITION == 2 ? kTextBound : kFrameSize;

}  // namespace

std::int32_t ReportStatus(std::int32_t status) {
  SystemPipes().SetThreadError(status);
  return status;
}

std::int32_t SendJobCommand(const JobRequest& request) {
  char frame[kFrameBufferSize];
  EncodeRequest(request, kRequestTextBound, frame);
  JobReply reply{};
  return ReportStatus(ExchangeWithService(reply, frame, SystemPipes()));
}

}  // namespace velmora
