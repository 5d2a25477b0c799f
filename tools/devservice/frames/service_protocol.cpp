#include "frames/service_protocol.h"

#include <cstring>

#include "decimal.h"

namespace velmora::devservice {
namespace {

// The library keeps at most this much of a reply's message.
constexpr std::size_t kMessageLimit = kTextBound - 1;

Request Malformed(const char* problem, const char* bytes, std::size_t size) {
  Request request;
  request.problem = problem;
  request.received.assign(bytes, size < kShownBytes ? size : kShownBytes);
  request.size = size;
  return request;
}

}  // namespace

Request ParseRequest(const char* bytes, std::size_t size, std::size_t messageSize) {
  if (size > kFrameSize) size = kFrameSize;
  if (messageSize != kFrameSize) {
    Request request = Malformed("not a 1024-byte frame", bytes, size);
    request.size = messageSize;
    return request;
  }
  const std::string text(bytes, strnlen(bytes, size));
  if (text.empty()) return Malformed("empty request", bytes, size);
  const std::size_t first = text.find(';');
  if (first == std::string::npos) return Malformed("no fields", bytes, size);
  const std::size_t second = text.find(';', first + 1);
  if (second == std::string::npos) return Malformed("no command field", bytes, size);

  Request request;
  const std::string_view fields = text;
  if (!tools::ParseDecimal(fields.substr(0, first), request.jobId)) {
    return Malformed("bad job number", bytes, size);
  }
  if (!tools::ParseDecimal(fields.substr(first + 1, second - first - 1), request.command)) {
    return Malformed("bad command code", bytes, size);
  }
  const std::string rest = text.substr(second + 1);
  request.cut = rest.empty() || rest.back() != ';';
  request.param = request.cut ? rest : rest.substr(0, rest.size() - 1);
  request.wellFormed = true;
  return request;
}

std::string FormatReply(std::int32_t jobId, std::int32_t status, const std::string& message) {
  std::string shown = message.substr(0, message.find(';'));
  if (shown.size() > kMessageLimit) shown.resize(kMessageLimit);
  std::string frame = std::to_string(jobId) + ";" + std::to_string(status) + ";" + shown + ";";
  frame.resize(kFrameSize, '\0');
  return frame;
}

}  // namespace velmora::devservice
