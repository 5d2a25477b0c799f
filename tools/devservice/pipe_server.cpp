#include "pipe_server.h"

#include <cstdio>

#include "service_protocol.h"

namespace velmora::devservice {
namespace {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\pipe_job";
// Without a fixed number the server starts this many instances and, whenever fewer than
// kSpareInstances are left listening, adds one, up to kGrowthLimit. Callers arriving together
// then find a listening instance at once instead of racing for one that is freed (a caller that
// loses that race gets ERROR_PIPE_BUSY).
constexpr int kInitialInstances = 8;
constexpr int kSpareInstances = 4;
constexpr int kGrowthLimit = 128;

// Waits for an overlapped operation or for the stop; true when the operation completed.
bool Await(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD& bytes, DWORD& error,
           HANDLE stop) {
  error = started ? 0 : GetLastError();
  if (!started && error != ERROR_IO_PENDING) {
    // Finished at once: a message longer than asked for still delivered its first bytes.
    if (error == ERROR_MORE_DATA) GetOverlappedResult(pipe, &overlapped, &bytes, FALSE);
    return true;
  }
  const HANDLE events[] = {overlapped.hEvent, stop};
  if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
    CancelIoEx(pipe, &overlapped);
    GetOverlappedResult(pipe, &overlapped, &bytes, TRUE);
    return false;
  }
  error = GetOverlappedResult(pipe, &overlapped, &bytes, FALSE) ? 0 : GetLastError();
  return true;
}

}  // namespace

Io AwaitClient(HANDLE pipe, HANDLE stop) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD bytes = 0;
  DWORD error = 0;
  const bool completed =
      Await(pipe, overlapped, ConnectNamedPipe(pipe, &overlapped), bytes, error, stop);
  CloseHandle(overlapped.hEvent);
  if (!completed) return Io::kStopped;
  return error == 0 || error == ERROR_PIPE_CONNECTED ? Io::kDone : Io::kFailed;
}

Io Transfer(HANDLE pipe, bool read, char* buffer, DWORD size, DWORD& bytes, HANDLE stop) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD error = 0;
  const BOOL started = read ? ReadFile(pipe, buffer, size, nullptr, &overlapped)
                            : WriteFile(pipe, buffer, size, nullptr, &overlapped);
  const bool completed = Await(pipe, overlapped, started, bytes, error, stop);
  CloseHandle(overlapped.hEvent);
  if (!completed) return Io::kStopped;
  return error == 0 || error == ERROR_MORE_DATA ? Io::kDone : Io::kFailed;
}

PipeServer::PipeServer(int instances, HANDLE stop, ClientHandler handler)
    : instances_(instances), stop_(stop), handler_(std::move(handler)) {}

bool PipeServer::Start() {
  const int initial = instances_ > 0 ? instances_ : kInitialInstances;
  for (int i = 0; i < initial; ++i) {
    if (!AddInstance(i == 0)) return false;
  }
  return true;
}

bool PipeServer::AddInstance(bool first) {
  const DWORD maxInstances =
      instances_ > 0 ? static_cast<DWORD>(instances_) : PIPE_UNLIMITED_INSTANCES;
  const HANDLE pipe = CreateNamedPipeW(
      kPipeName,
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, maxInstances, kFrameSize, kFrameSize,
      0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (first) {
      std::fprintf(stderr, "cannot create \\\\.\\pipe\\pipe_job (error %lu)%s\n", error,
                   error == ERROR_ACCESS_DENIED ? ": is another service running?" : "");
    }
    return false;
  }
  std::lock_guard<std::mutex> lock(threadsMutex_);
  ++listening_;
  threads_.emplace_back([this, pipe] { Serve(pipe); });
  return true;
}

// An instance may still be added while the first ones stop, so join until none is left.
void PipeServer::Join() {
  for (;;) {
    std::vector<std::thread> threads;
    {
      std::lock_guard<std::mutex> lock(threadsMutex_);
      threads.swap(threads_);
    }
    if (threads.empty()) return;
    for (std::thread& thread : threads) thread.join();
  }
}

// One instance: accept a client, serve it, and listen again on the same instance.
void PipeServer::Serve(HANDLE pipe) {
  for (;;) {
    const Io accepted = AwaitClient(pipe, stop_);
    if (accepted == Io::kStopped) break;
    if (accepted == Io::kDone) {
      if (--listening_ < kSpareInstances) Grow();
      const bool more = handler_(pipe);
      ++listening_;
      if (!more) break;
    }
    DisconnectNamedPipe(pipe);
  }
  DisconnectNamedPipe(pipe);
  CloseHandle(pipe);
}

// With few instances left listening, one more lets the next caller in at once.
void PipeServer::Grow() {
  if (instances_ > 0 || WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) return;
  {
    std::lock_guard<std::mutex> lock(threadsMutex_);
    if (static_cast<int>(threads_.size()) >= kGrowthLimit) return;
  }
  AddInstance(false);
}

}  // namespace velmora::devservice
