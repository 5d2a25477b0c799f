#include "exchange.h"

namespace velmora {
namespace {

// While the pipe is missing the service may still be starting: try for this long, in steps.
constexpr int kConnectBudgetMs = 3000;
constexpr int kRetryStepMs = 1000;
// How long to wait once for a busy service to free an instance.
constexpr std::uint32_t kBusyWaitMs = 5000;
// A real service sends its reply in at most a few messages. Each empty message completes a read
// at once, so a peer that keeps sending them would hold the caller in a busy loop that no
// cancellation of blocked I/O can reach: past this many the exchange gives up.
constexpr int kMaxEmptyMessages = 64;

// Owns the open pipe and closes it exactly once, however the exchange ends.
class PipeConnection {
 public:
  explicit PipeConnection(PipeSystem& pipes) : pipes_(pipes) {}
  PipeConnection(const PipeConnection&) = delete;
  PipeConnection& operator=(const PipeConnection&) = delete;
  ~PipeConnection() {
    if (open_) pipes_.Close(handle_);
  }

  std::int32_t Open() {
    const std::int32_t error = pipes_.Open(handle_);
    open_ = error == 0;
    return error;
  }
  PipeSystem::Handle handle() const { return handle_; }

 private:
  PipeSystem& pipes_;
  PipeSystem::Handle handle_ = nullptr;
  bool open_ = false;
};

std::int32_t Fail(JobReply& reply, std::int32_t error, PipeSystem& pipes) {
  reply.status = error;
  pipes.DescribeError(error, reply.message, kTextBound);
  return error;
}

std::int32_t Connect(PipeConnection& connection, PipeSystem& pipes) {
  int budgetMs = kConnectBudgetMs;
  for (;;) {
    const std::int32_t error = connection.Open();
    if (error == kErrorFileNotFound) {
      budgetMs -= kRetryStepMs;
      if (budgetMs <= 0) return error;
      pipes.Sleep(kRetryStepMs);
      continue;
    }
    if (error != kErrorPipeBusy) return error;
    // Every instance is serving someone: wait once for one to be freed, then try once more.
    // Another caller may take the freed instance first; that open's error ends the call.
    const std::int32_t waitError = pipes.WaitForFreeInstance(kBusyWaitMs);
    return waitError != 0 ? waitError : connection.Open();
  }
}

}  // namespace

std::int32_t ExchangeWithService(JobReply& reply, const char (&requestFrame)[kFrameBufferSize],
                                 PipeSystem& pipes) {
  PipeConnection connection(pipes);
  std::int32_t error = Connect(connection, pipes);
  if (error != 0) return Fail(reply, error, pipes);

  error = pipes.SetMessageMode(connection.handle());
  if (error != 0) return Fail(reply, error, pipes);
  // A message pipe takes the frame whole or not at all, so the written count adds nothing.
  error = pipes.Write(connection.handle(), requestFrame, kFrameSize);
  if (error != 0) return Fail(reply, error, pipes);

  // The service may split its reply across several messages; collect until the frame is full.
  // A longer message fills the frame and reports more data: the frame is complete all the same,
  // and the rest of that message goes away with the connection.
  char received[kFrameBufferSize] = {};
  std::uint32_t count = 0;
  int emptyMessages = 0;
  while (count < kFrameSize) {
    const std::uint32_t wanted = static_cast<std::uint32_t>(kFrameSize) - count;
    std::uint32_t delivered = 0;
    error = pipes.Read(connection.handle(), received + count, wanted, delivered);
    // The service closed, or the pipe broke, before a whole reply arrived: that is a failure.
    if (error != 0 && error != kErrorMoreData) return Fail(reply, error, pipes);
    if (delivered == 0 && ++emptyMessages > kMaxEmptyMessages) {
      return Fail(reply, kErrorBadPipe, pipes);
    }
    count += delivered < wanted ? delivered : wanted;
  }
  DecodeReply(reply, received);
  return reply.status;
}

}  // namespace velmora
