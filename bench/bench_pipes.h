// A stand-in for the platform's pipes that answers every call at once and allocates nothing,
// so that a native run measures the library's own work per call.
#pragma once

#include <cstring>

#include "pipe_system.h"

namespace velmora::bench {

class InstantPipes final : public PipeSystem {
 public:
  std::int32_t Open(Handle& pipe) override {
    pipe = this;
    return 0;
  }
  std::int32_t WaitForFreeInstance(std::uint32_t) override { return 0; }
  std::int32_t SetMessageMode(Handle) override { return 0; }
  std::int32_t Write(Handle, const char*, std::uint32_t) override { return 0; }
  std::int32_t Read(Handle, char* buffer, std::uint32_t size, std::uint32_t& received) override {
    std::memcpy(buffer, kReply, sizeof kReply);
    received = size;
    return 0;
  }
  void Close(Handle) override {}
  void Sleep(std::uint32_t) override {}
  void DescribeError(std::int32_t, char* text, std::size_t bound) override {
    if (bound > 0) text[0] = '\0';
  }
  void SetThreadError(std::int32_t code) override { lastError = code; }

  std::int32_t lastError = -1;

 private:
  static constexpr char kReply[] = "5;0;started;";
};

}  // namespace velmora::bench
