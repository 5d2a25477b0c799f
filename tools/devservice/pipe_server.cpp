#include "pipe_server.h"

#include <sddl.h>

#include <cstdio>
#include <string>

#include "pipe_access.h"
#include "service_protocol.h"

namespace velmora::devservice {
namespace {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\pipe_job";
// Without a fixed number the server keeps kInitialInstances instances listening, enough that as
// many callers arriving together each find one instead of racing for one that is freed (a
// caller that loses that race gets ERROR_PIPE_BUSY). Whenever fewer than kSpareInstances are
// left listening it adds a group, up to the pipe's limit of 255 instances, so idle clients
// cannot take them all; a group added under load closes once the load has passed. A group is
// watched by one thread (a wait takes at most 64 handles); a client has a thread of its own.
constexpr int kInitialInstances = 96;
constexpr int kSpareInstances = 64;
constexpr int kInstanceLimit = 255;
constexpr int kGroupSize = 48;

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

struct PipeServer::Instance {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE connected = nullptr;  // set once a client has connected
  OVERLAPPED overlapped{};
  bool connectedAtOnce = false;       // the client was there before the wait began
  std::atomic<bool> serving{false};   // a client thread has it
  std::atomic<bool> returned{false};  // its client thread is done: listen again
};

// Pending I/O ends with the thread that started it, so only the group's own thread, which
// lives as long as the group, starts the waits for clients.
struct PipeServer::Group {
  std::vector<std::unique_ptr<Instance>> instances;
  HANDLE ready = nullptr;     // the group's thread has every instance listening
  HANDLE returned = nullptr;  // a client thread gave an instance back
  std::atomic<int> serving{0};
  bool first = false;  // the group made at start, which is never retired
};

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
  int remaining = instances_ > 0 ? instances_ : kInitialInstances;
  for (bool first = true; remaining > 0; first = false) {
    const int count = remaining < kGroupSize ? remaining : kGroupSize;
    if (!AddGroup(count, first)) return false;
    remaining -= count;
  }
  return true;
}

// Creates `count` instances and the thread that watches them; returns once they listen.
bool PipeServer::AddGroup(int count, bool first) {
  auto group = std::make_unique<Group>();
  group->first = first;
  const DWORD maxInstances =
      instances_ > 0 ? static_cast<DWORD>(instances_) : PIPE_UNLIMITED_INSTANCES;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, security_, FALSE};
  for (int i = 0; i < count; ++i) {
    // Local callers only; the very first instance fails if another server has the name.
    const bool veryFirst = first && i == 0;
    const HANDLE pipe = CreateNamedPipeW(
        kPipeName,
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (veryFirst ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        maxInstances, kFrameSize, kFrameSize, 0, &attributes);
    if (pipe == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (veryFirst) {
        std::fprintf(stderr,
                     "velmora-devservice: cannot create \\\\.\\pipe\\pipe_job (error %lu)%s\n",
                     error, error == ERROR_ACCESS_DENIED ? ": another service serves it" : "");
      }
      break;
    }
    auto instance = std::make_unique<Instance>();
    instance->pipe = pipe;
    instance->connected = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    group->instances.push_back(std::move(instance));
  }
  if (group->instances.empty() || (first && static_cast<int>(group->instances.size()) < count)) {
    Close(*group);
    return false;
  }
  group->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  group->returned = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  live_ += static_cast<int>(group->instances.size());
  Group& added = *group;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    groups_.push_back(std::move(group));
    watchers_.emplace_back([this, &added] { Watch(added); });
  }
  WaitForSingleObject(added.ready, INFINITE);
  return true;
}

// Starts waiting for the next client on an instance; its event is set when one connects,
// including one that connected before the wait began.
bool PipeServer::Listen(Instance& instance) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    ResetEvent(instance.connected);
    instance.overlapped = OVERLAPPED{};
    instance.overlapped.hEvent = instance.connected;
    instance.connectedAtOnce = false;
    if (ConnectNamedPipe(instance.pipe, &instance.overlapped)) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) return true;
    if (error == ERROR_PIPE_CONNECTED) {
      instance.connectedAtOnce = true;
      SetEvent(instance.connected);
      return true;
    }
    // A client that connected and left already: clear the instance and wait again.
    DisconnectNamedPipe(instance.pipe);
  }
  return false;
}

// The group's thread: starts the waits for clients, hands each connected client to a thread of
// its own, listens again on the instances given back, retires the group once it is not
// needed, and at the stop waits for its clients before closing the instances.
void PipeServer::Watch(Group& group) {
  for (const auto& instance : group.instances) {
    if (Listen(*instance)) ++listening_;
  }
  SetEvent(group.ready);
  std::vector<HANDLE> waits = {stop_, group.returned};
  for (const auto& instance : group.instances) waits.push_back(instance->connected);
  for (;;) {
    const DWORD woken =
        WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) break;
    if (woken == WAIT_OBJECT_0 + 1) {
      for (const auto& instance : group.instances) {
        if (instance->returned.exchange(false) && Listen(*instance)) ++listening_;
      }
      if (Retire(group)) return;
      continue;
    }
    Dispatch(group, *group.instances[woken - WAIT_OBJECT_0 - 2]);
  }
  for (const auto& instance : group.instances) {
    if (!instance->serving) CancelIoEx(instance->pipe, &instance->overlapped);
  }
  while (group.serving > 0) Sleep(10);
  Close(group);
}

// A client has connected to `instance`: serve it on its own thread, which gives the instance
// back to the group's thread to listen again.
void PipeServer::Dispatch(Group& group, Instance& instance) {
  ResetEvent(instance.connected);
  DWORD bytes = 0;
  if (!instance.connectedAtOnce &&
      !GetOverlappedResult(instance.pipe, &instance.overlapped, &bytes, FALSE)) {
    // The wait ended without a client: listen again.
    DisconnectNamedPipe(instance.pipe);
    if (!Listen(instance)) --listening_;
    return;
  }
  --listening_;
  if (listening_ < kSpareInstances) Grow();
  instance.serving = true;
  ++group.serving;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++clients_;
  }
  std::thread([this, &group, &instance] {
    const bool more = handler_(instance.pipe);
    DisconnectNamedPipe(instance.pipe);
    if (!more) SetEvent(stop_);
    instance.serving = false;
    instance.returned = more;
    SetEvent(group.returned);
    --group.serving;  // the last touch of the group
    std::lock_guard<std::mutex> lock(mutex_);
    --clients_;
    clientsDone_.notify_all();
  }).detach();
}

// A group added under load closes once every instance in it listens and the others are
// enough on their own. A client that connects meanwhile is served instead.
bool PipeServer::Retire(Group& group) {
  const int size = static_cast<int>(group.instances.size());
  if (group.first || instances_ > 0 || group.serving > 0 || listening_ - size < kInitialInstances) {
    return false;
  }
  for (const auto& instance : group.instances) {
    if (instance->serving || instance->returned) return false;
  }
  for (std::size_t i = 0; i < group.instances.size(); ++i) {
    Instance& instance = *group.instances[i];
    CancelIoEx(instance.pipe, &instance.overlapped);
    DWORD bytes = 0;
    if (instance.connectedAtOnce ||
        GetOverlappedResult(instance.pipe, &instance.overlapped, &bytes, TRUE) ||
        GetLastError() == ERROR_PIPE_CONNECTED) {
      // Too late for this one: it has a client. Serve it, and listen again on those whose
      // wait was cancelled already.
      Dispatch(group, instance);
      for (std::size_t k = 0; k < i; ++k) Listen(*group.instances[k]);
      return false;
    }
  }
  listening_ -= size;
  live_ -= size;
  Close(group);
  return true;
}

// Ends the group's connections and closes its instances and events.
void PipeServer::Close(Group& group) {
  for (const auto& instance : group.instances) {
    DisconnectNamedPipe(instance->pipe);
    CloseHandle(instance->pipe);
    CloseHandle(instance->connected);
  }
  if (group.ready != nullptr) CloseHandle(group.ready);
  if (group.returned != nullptr) CloseHandle(group.returned);
}

// With few instances left listening, another group lets the next callers in at once.
void PipeServer::Grow() {
  if (instances_ > 0 || WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) return;
  const int room = kInstanceLimit - live_;
  if (room > 0) AddGroup(room < kGroupSize ? room : kGroupSize, false);
}

void PipeServer::Join() {
  WaitForSingleObject(stop_, INFINITE);
  // Groups may still be added while the first ones stop, so join until none is left.
  for (;;) {
    std::vector<std::thread> watchers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      watchers.swap(watchers_);
    }
    if (watchers.empty()) break;
    for (std::thread& watcher : watchers) watcher.join();
  }
  std::unique_lock<std::mutex> lock(mutex_);
  clientsDone_.wait(lock, [this] { return clients_ == 0; });
}

}  // namespace velmora::devservice
