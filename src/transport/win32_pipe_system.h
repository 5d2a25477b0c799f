// The pipe operations on Windows: named-pipe client calls on "\\.\pipe\pipe_job".
#pragma once

#include "pipe_system.h"

namespace velmora {

class Win32PipeSystem final : public PipeSystem {
 public:
  constexpr Win32PipeSystem() = default;

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
};

}  // namespace velmora
