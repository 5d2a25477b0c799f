// What the pipe server asks of its owner, and what the owner answers, as plain data: the
// messages to write to one caller, how they went, and the state the whole pipe is in. No
// platform calls here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace velmora::tools {

constexpr std::size_t kUntilTheCallerLeaves = std::numeric_limits<std::size_t>::max();

// The answer to one request.
struct Answer {
  std::uint32_t delayMs = 0;  // wait this long first
  // Empty messages written before `messages`; kUntilTheCallerLeaves: without end.
  std::size_t emptyMessages = 0;
  std::vector<std::string> messages;  // written in order, one message each
  // Close once everything is written and read, instead of waiting for the caller to close. With
  // nothing to write, no answer is given. Without a hang-up and with nothing to write, the
  // caller waits until it leaves or its time limit ends.
  bool hangUp = false;
  std::uint64_t tag = 0;  // the owner's own number, handed back with the delivery
};

// How an answer went, once its connection has ended.
struct Delivery {
  std::uint64_t bytesWritten = 0;
  bool callerLeftEarly = false;  // the connection ended before everything was written
  std::uint64_t ms = 0;          // from the request's arrival to the end of the connection
};

// What callers find at the pipe.
enum class PipeState {
  kServing,
  kBusy,    // the pipe exists but no instance takes a caller
  kAbsent,  // no instance exists: the pipe is not there
};

// Who is on the other end of a connection, as the system tells the server.
struct Caller {
  unsigned long processId = 0;  // 0: not known
};

// The owner of a pipe server. Its calls come on the server's worker threads, all but OnRequest
// while the server holds its lock: they must not call the server back.
class PipeService {
 public:
  virtual ~PipeService() = default;
  // A caller has connected; true closes its connection before its request is read.
  virtual bool HangUpOnConnect(const Caller&) { return false; }
  // `request` holds the message's first bytes (at most a frame); `size` is the whole message's.
  virtual Answer OnRequest(const Caller& caller, const std::string& request, std::size_t size) = 0;
  // Once the connection that carried an answer has ended.
  virtual void OnDelivered(const Answer&, const Delivery&) {}
  // The state callers should find now (a tick of GetTickCount64), and in `next` when to ask
  // again (UINT64_MAX: never).
  virtual PipeState StateNow(std::uint64_t /*now*/, std::uint64_t& next) {
    next = UINT64_MAX;
    return PipeState::kServing;
  }
};

}  // namespace velmora::tools
