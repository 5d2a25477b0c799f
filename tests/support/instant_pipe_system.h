// A stand-in for the platform's pipes whose service answers every request at once with
// "5;0;started;". It allocates nothing, so it serves the benchmarks and heap counts, and it
// keeps the last frame written for the fuzz targets to inspect.
#pragma once

#include <cstring>

#include "pipe_system.h"

namespace velmora::test_support {

class InstantPipeSystem final : public PipeSystem {
 public:
  std::int32_t Open(Handle& pipe) override {
    pipe = this;
    return 0;
  }
  std::int32_t WaitForFreeInstance(std::uint32_t) override { return 0; }
  std::int32_t SetMessageMode(Handle) override { return 0; }
  std::int32_t Write(Handle, const char* data, std::uint32_t size) override {
    ++writes;
    writtenSize = size;
    std::memcpy(written, data, size < sizeof written ? size : sizeof written);
    return 0;
  }
  std::int32_t Read(Handle, char* buffer, std::uint32_t size, std::uint32_t& received) override {
    std::memset(buffer, 0, size);
    std::memcpy(buffer, kReply, sizeof kReply < size ? sizeof kReply : size);
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
  int writes = 0;
  std::uint32_t writtenSize = 0;
  char written[2048] = {};  // the last frame written; room to spare to see any overlong write

 private:
  static constexpr char kReply[] = "5;0;started;";
};

}  // namespace velmora::test_support
