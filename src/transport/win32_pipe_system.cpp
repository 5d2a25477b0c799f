#include "win32_pipe_system.h"

#include <windows.h>

#include "bounded_text.h"
#include "error_text.h"
#include "job_frames.h"

namespace velmora {
namespace {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\pipe_job";

std::int32_t LastError() {
  return static_cast<std::int32_t>(GetLastError());
}

// Converts at most `bound` - 1 wide characters: each gives at least one byte, so the first
// `bound` - 1 bytes of the converted text come from them. Four bytes per character cover every
// ANSI code page, UTF-8 included.
void CopyAsAnsi(const wchar_t* wide, std::size_t length, char* text, std::size_t bound) {
  constexpr std::size_t kMaxChars = kTextBound - 1;
  char ansi[kMaxChars * 4 + 1];
  std::size_t chars = length < kMaxChars ? length : kMaxChars;
  if (bound > 0 && chars > bound - 1) chars = bound - 1;
  const int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, wide, static_cast<int>(chars), ansi,
                                        static_cast<int>(sizeof ansi), nullptr, nullptr);
  CopyBounded(text, bound, ansi, bytes > 0 ? static_cast<std::size_t>(bytes) : 0);
}

}  // namespace

std::int32_t Win32PipeSystem::Open(Handle& pipe) {
  // No sharing, no inheritance, no overlapped I/O and no impersonation flags.
  const HANDLE handle =
      CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  pipe = handle;
  return 0;
}

std::int32_t Win32PipeSystem::WaitForFreeInstance(std::uint32_t milliseconds) {
  return WaitNamedPipeW(kPipeName, milliseconds) ? 0 : LastError();
}

std::int32_t Win32PipeSystem::SetMessageMode(Handle pipe) {
  DWORD mode = PIPE_READMODE_MESSAGE;
  return SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr) ? 0 : LastError();
}

std::int32_t Win32PipeSystem::Write(Handle pipe, const char* data, std::uint32_t size) {
  DWORD written = 0;
  return WriteFile(pipe, data, size, &written, nullptr) ? 0 : LastError();
}

std::int32_t Win32PipeSystem::Read(Handle pipe, char* buffer, std::uint32_t size,
                                   std::uint32_t& received) {
  DWORD count = 0;
  const BOOL ok = ReadFile(pipe, buffer, size, &count, nullptr);
  const std::int32_t error = ok ? 0 : LastError();
  received = count;
  return error;
}

void Win32PipeSystem::Close(Handle pipe) {
  CloseHandle(pipe);
}

void Win32PipeSystem::Sleep(std::uint32_t milliseconds) {
  ::Sleep(milliseconds);
}

void Win32PipeSystem::DescribeError(std::int32_t code, char* text, std::size_t bound) {
  wchar_t* systemText = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<LPWSTR>(&systemText), 0, nullptr);
  if (length > 0 && systemText != nullptr) {
    CopyAsAnsi(systemText, TrimLineEnd(systemText, length), text, bound);
  } else {
    wchar_t fallback[kFallbackTextSize];
    MakeFallbackErrorText(code, fallback);
    CopyAsAnsi(fallback, lstrlenW(fallback), text, bound);
  }
  if (systemText != nullptr) LocalFree(systemText);
}

void Win32PipeSystem::SetThreadError(std::int32_t code) {
  ::SetLastError(static_cast<DWORD>(code));
}

PipeSystem& SystemPipes() {
  // Stateless and constant-initialised: no start-up work and no guard on first use.
  static Win32PipeSystem pipes;
  return pipes;
}

}  // namespace velmora
