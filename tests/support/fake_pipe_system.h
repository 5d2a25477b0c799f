// A scripted stand-in for the platform's pipes. Each operation takes the next outcome the test
// wrote down, in the order the exchange meets them, and records the call.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "pipe_system.h"

namespace velmora::test_support {

// What one read meets: a message the service sent, delivered as a message pipe does (a longer
// message than asked for gives kErrorMoreData and stays pending), or a failure with an error
// code after delivering `bytes`.
struct ReadOutcome {
  std::string bytes;
  std::int32_t error = 0;
};
inline ReadOutcome Message(std::string bytes) {
  return {std::move(bytes), 0};
}
inline ReadOutcome ReadFailure(std::int32_t error) {
  return {"", error};
}

// Written as Script().Opens({2, 0}).Reads({Message(reply)}): what is not named succeeds.
struct PipeScript {
  std::vector<std::int32_t> opens;  // the result of each open attempt; 0 opens a new handle
  std::int32_t wait = 0;
  std::int32_t mode = 0;
  std::int32_t write = 0;
  std::vector<ReadOutcome> reads;

  PipeScript& Opens(std::vector<std::int32_t> results) {
    opens = std::move(results);
    return *this;
  }
  PipeScript& Wait(std::int32_t result) {
    wait = result;
    return *this;
  }
  PipeScript& Mode(std::int32_t result) {
    mode = result;
    return *this;
  }
  PipeScript& Write(std::int32_t result) {
    write = result;
    return *this;
  }
  PipeScript& Reads(std::vector<ReadOutcome> outcomes) {
    reads = std::move(outcomes);
    return *this;
  }
};
inline PipeScript Script() {
  return PipeScript();
}

// The text of a frame padded with zero bytes to the frame size.
std::string Frame(const std::string& text);

class FakePipeSystem final : public PipeSystem {
 public:
  // Past the end of the script an open finds no pipe and a read finds a broken pipe, so every
  // exchange against the fake ends.
  static constexpr std::int32_t kOpenPastScript = 2;
  static constexpr std::int32_t kReadPastScript = 109;

  explicit FakePipeSystem(PipeScript script);

  std::int32_t Open(Handle& pipe) override;
  std::int32_t WaitForFreeInstance(std::uint32_t milliseconds) override;
  std::int32_t SetMessageMode(Handle pipe) override;
  std::int32_t Write(Handle pipe, const char* data, std::uint32_t size) override;
  std::int32_t Read(Handle pipe, char* buffer, std::uint32_t size,
                    std::uint32_t& received) override;
  void Close(Handle pipe) override;
  void Sleep(std::uint32_t milliseconds) override;
  void DescribeError(std::int32_t code, char* text, std::size_t bound) override;
  void SetThreadError(std::int32_t code) override;

  // Every call in order: "open", "sleep 1000", "wait 5000", "mode", "write 1024", "read 1024",
  // "close 1", "describe 2".
  const std::vector<std::string>& calls() const { return calls_; }
  const std::string& written() const { return written_; }
  int opens() const { return opens_; }
  int sleeps() const { return sleeps_; }
  // True when every handle opened was closed exactly once and nothing else was closed.
  bool EveryHandleClosedOnce() const;
  // The problems seen: operations on handles that were not open.
  const std::vector<std::string>& misuse() const { return misuse_; }
  bool threadErrorSet() const { return threadErrorSet_; }
  std::int32_t threadError() const { return threadError_; }

 private:
  int HandleNumber(Handle pipe, const char* operation);

  PipeScript script_;
  std::size_t nextOpen_ = 0;
  std::deque<ReadOutcome> reads_;
  std::vector<std::string> calls_;
  std::string written_;
  int opens_ = 0;
  int sleeps_ = 0;
  std::map<int, int> closes_;  // handle number -> times closed
  std::vector<std::string> misuse_;
  bool threadErrorSet_ = false;
  std::int32_t threadError_ = 0;
};

}  // namespace velmora::test_support
