#include "pipe_server.h"

#include <sddl.h>

#include <cstdio>
#include <string>

#include "pipe_access.h"
#include "service_protocol.h"

namespace velmora::devservice {
namespace {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\pipe_job";
// Without a fixed number the server starts kInitialInstances instances, enough that as many
// callers arriving together each find one listening instead of racing for one that is freed (a
// caller that loses that race gets ERROR_PIPE_BUSY). Whenever fewer than kSpareInstances are
// left listening it adds one, up to the pipe's limit of 255, so idle clients cannot take them
// all; once more than kInitialInstances listen again, the extra ones close.
constexpr int kInitialInstances = 96;
constexpr int kSpareInstances = 64;
constexpr int kInstanceLimit = 255;

// The SID of the user this process runs as, "S-1-5-21-...", or empty if it cannot be read.
std::wstring CurrentUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
  std::wstring sid;
  alignas(TOKEN_USER) char buffer[256];
  DWORD size = 0;
  wchar_t* text = nullptr;
  if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
      ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
    sid = text;
    LocalFree(text);
  }
  CloseHandle(token);
  return sid;
}

// Waits for an overlapped operation, the stop or the time limit.
Io Await(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD& bytes, HANDLE stop,
         DWORD timeoutMs) {
  DWORD error = started ? 0 : GetLastError();
  if (!started && error != ERROR_IO_PENDING) {
    // Finished at once: a message longer than asked for still delivered its first bytes.
    if (error == ERROR_MORE_DATA) GetOverlappedResult(pipe, &overlapped, &bytes, FALSE);
  } else {
    const HANDLE events[] = {overlapped.hEvent, stop};
    const DWORD woken = WaitForMultipleObjects(2, events, FALSE, timeoutMs);
    if (woken != WAIT_OBJECT_0) {
      CancelIoEx(pipe, &overlapped);
      GetOverlappedResult(pipe, &overlapped, &bytes, TRUE);
      return woken == WAIT_TIMEOUT ? Io::kTimedOut : Io::kStopped;
    }
    error = GetOverlappedResult(pipe, &overlapped, &bytes, FALSE) ? 0 : GetLastError();
  }
  return error == 0 || error == ERROR_MORE_DATA || error == ERROR_PIPE_CONNECTED ? Io::kDone
                                                                                 : Io::kFailed;
}

}  // namespace

Io AwaitClient(HANDLE pipe, HANDLE stop) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD bytes = 0;
  const Io io = Await(pipe, overlapped, ConnectNamedPipe(pipe, &overlapped), bytes, stop, INFINITE);
  CloseHandle(overlapped.hEvent);
  return io;
}

Io Transfer(HANDLE pipe, bool read, char* buffer, DWORD size, DWORD& bytes, HANDLE stop,
            DWORD timeoutMs) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const BOOL started = read ? ReadFile(pipe, buffer, size, nullptr, &overlapped)
                            : WriteFile(pipe, buffer, size, nullptr, &overlapped);
  const Io io = Await(pipe, overlapped, started, bytes, stop, timeoutMs);
  CloseHandle(overlapped.hEvent);
  return io;
}

PipeServer::PipeServer(int instances, HANDLE stop, ClientHandler handler)
    : instances_(instances), stop_(stop), handler_(std::move(handler)) {}

PipeServer::~PipeServer() {
  if (security_ != nullptr) LocalFree(security_);
}

bool PipeServer::Start() {
  const std::wstring sddl = PipeSecurity(CurrentUserSid());
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &security_, nullptr)) {
    std::fprintf(stderr, "velmora-devservice: cannot make the pipe's security (error %lu)\n",
                 GetLastError());
    return false;
  }
  const int initial = instances_ > 0 ? instances_ : kInitialInstances;
  for (int i = 0; i < initial; ++i) {
    if (!AddInstance(i == 0)) return false;
  }
  return true;
}

bool PipeServer::AddInstance(bool first) {
  const DWORD maxInstances =
      instances_ > 0 ? static_cast<DWORD>(instances_) : PIPE_UNLIMITED_INSTANCES;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, security_, FALSE};
  // Local callers only; the first instance fails if another server has the name already.
  const HANDLE pipe = CreateNamedPipeW(
      kPipeName,
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      maxInstances, kFrameSize, kFrameSize, 0, &attributes);
  if (pipe == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (first) {
      std::fprintf(stderr,
                   "velmora-devservice: cannot create \\\\.\\pipe\\pipe_job (error %lu)%s\n", error,
                   error == ERROR_ACCESS_DENIED ? ": another service serves it" : "");
    }
    return false;
  }
  std::lock_guard<std::mutex> lock(threadsMutex_);
  ++live_;
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

// One instance: accept a client, serve it, and listen again on the same instance, unless
// enough others listen already.
void PipeServer::Serve(HANDLE pipe) {
  for (;;) {
    const Io accepted = AwaitClient(pipe, stop_);
    if (accepted == Io::kStopped) break;
    if (accepted == Io::kDone) {
      if (--listening_ < kSpareInstances) Grow();
      const bool more = handler_(pipe);
      if (!more) break;
      DisconnectNamedPipe(pipe);
      if (Surplus()) break;
      ++listening_;
    } else {
      DisconnectNamedPipe(pipe);
    }
  }
  DisconnectNamedPipe(pipe);
  CloseHandle(pipe);
  --live_;
}

// With few instances left listening, one more lets the next caller in at once.
void PipeServer::Grow() {
  if (instances_ > 0 || live_ >= kInstanceLimit || WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) {
    return;
  }
  AddInstance(false);
}

// An instance added under load is not kept once the load has passed.
bool PipeServer::Surplus() const {
  return instances_ == 0 && listening_ >= kInitialInstances;
}

}  // namespace velmora::devservice
