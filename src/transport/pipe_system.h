// The seam between the exchange logic and the platform: the few pipe operations one call needs.
// The library has exactly one implementation (Win32); tests give the exchange a scripted fake.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

// Platform error codes the exchange reacts to.
constexpr std::int32_t kErrorFileNotFound = 2;
constexpr std::int32_t kErrorPipeBusy = 231;
constexpr std::int32_t kErrorMoreData = 234;
// The exchange's own verdict on a peer that floods the reply with empty messages
// (ERROR_BAD_PIPE, "The pipe state is invalid."): no service sends it as a status of its own.
constexpr std::int32_t kErrorBadPipe = 230;

// Every operation that can fail returns 0 on success or the platform's error code for that very
// operation, taken at once, so nothing depends on a thread-wide error value read later.
class PipeSystem {
 public:
  using Handle = void*;

  // Opens the client end of the service's pipe for reading and writing.
  virtual std::int32_t Open(Handle& pipe) = 0;
  // Waits until an instance of the service's pipe is free, or the time is up.
  virtual std::int32_t WaitForFreeInstance(std::uint32_t milliseconds) = 0;
  virtual std::int32_t SetMessageMode(Handle pipe) = 0;
  virtual std::int32_t Write(Handle pipe, const char* data, std::uint32_t size) = 0;
  // Reads up to `size` bytes of the pending message; `received` counts what was delivered, also
  // when the result is kErrorMoreData (the message is longer than `size`).
  virtual std::int32_t Read(Handle pipe, char* buffer, std::uint32_t size,
                            std::uint32_t& received) = 0;
  virtual void Close(Handle pipe) = 0;
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  // The system's text for an error code, in the thread's ANSI code page, cut to `bound` - 1
  // bytes and terminated.
  virtual void DescribeError(std::int32_t code, char* text, std::size_t bound) = 0;
  // Stores a code as the calling thread's last-error value.
  virtual void SetThreadError(std::int32_t code) = 0;

 protected:
  ~PipeSystem() = default;
};

// The pipe system every exported call uses: the platform's own in the library, a scripted fake
// in the native tests (chosen at link time, so the library holds no switchable state).
PipeSystem& SystemPipes();

}  // namespace velmora
