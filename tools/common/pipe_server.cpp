#include "pipe_server.h"

#include <algorithm>
#include <limits>

namespace velmora::tools {
namespace {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\pipe_job";
constexpr DWORD kBufferSize = 4096;
constexpr DWORD kRequestSize = 1024;  // a request frame; a longer message is cut here
constexpr int kWorkers = 4;
constexpr ULONG_PTR kQuitKey = std::numeric_limits<ULONG_PTR>::max();
constexpr ULONGLONG kNever = std::numeric_limits<ULONGLONG>::max();

ULONGLONG After(ULONGLONG from, DWORD ms) {
  return ms == INFINITE || from == kNever ? kNever : from + ms;
}

}  // namespace

struct PipeServer::Instance {
  enum class Phase { kListening, kReading, kDelaying, kWriting, kDraining, kClosed };
  ULONG_PTR key = 0;
  HANDLE pipe = INVALID_HANDLE_VALUE;
  OVERLAPPED overlapped{};
  Phase phase = Phase::kClosed;
  bool pending = false;    // an operation is under way; its completion will come to the port
  bool working = false;    // a worker serves it without holding the lock (handler, flush)
  bool cancelled = false;  // its deadline passed and the operation was cancelled
  ULONGLONG deadline = kNever;
  ULONGLONG wake = kNever;  // while delaying: when to write
  Answer answer;
  std::size_t next = 0;  // the answer's next message
  char buffer[kBufferSize];
};

PipeServer::PipeServer(PipeServerSettings settings, Handler handler)
    : settings_(settings), handler_(std::move(handler)) {}

PipeServer::~PipeServer() {
  Stop(false);
  Wait();
  for (const auto& instance : instances_) CloseHandle(instance->pipe);
  if (port_ != nullptr) CloseHandle(port_);
}

bool PipeServer::Start(std::string& error) {
  port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, kWorkers);
  const DWORD type = settings_.messagePipe ? PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE
                                           : PIPE_TYPE_BYTE | PIPE_READMODE_BYTE;
  for (int i = 0; port_ != nullptr && i < settings_.instances; ++i) {
    // Local callers only; the first instance fails where another server owns the name.
    const HANDLE pipe = CreateNamedPipeW(
        kPipeName,
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        type | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, static_cast<DWORD>(settings_.instances),
        kBufferSize, kBufferSize, 0, settings_.security);
    if (pipe == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      error = "cannot create \\\\.\\pipe\\pipe_job (error " + std::to_string(code) + ")" +
              (code == ERROR_ACCESS_DENIED ? ": another server owns it" : "");
      return false;
    }
    auto instance = std::make_unique<Instance>();
    instance->key = instances_.size();
    instance->pipe = pipe;
    CreateIoCompletionPort(pipe, port_, instance->key, 0);
    instances_.push_back(std::move(instance));
  }
  if (port_ == nullptr) {
    error = "cannot create an I/O completion port (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  for (int i = 0; i < kWorkers; ++i) workers_.emplace_back([this] { Work(); });
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& instance : instances_) Listen(*instance);
  return true;
}

void PipeServer::Stop(bool finishConnections) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_ && (!finishing_ || finishConnections)) return;
  stopping_ = true;
  finishing_ = finishConnections;
  for (const auto& instance : instances_) {
    Instance& in = *instance;
    const bool listening = in.phase == Instance::Phase::kListening;
    if (in.pending && (listening || !finishConnections)) {
      CancelIoEx(in.pipe, &in.overlapped);
    } else if (in.phase == Instance::Phase::kDelaying && !finishConnections) {
      Finish(in);
    }
  }
  QuitIfDone();
}

void PipeServer::Wait() {
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
}

long PipeServer::Connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

// Notes that a completion will come for the operation just started, or, when it failed at
// once, ends the connection.
void PipeServer::Started(Instance& in, BOOL ok) {
  const DWORD error = ok ? 0 : GetLastError();
  // A message longer than the buffer completes like a success, with the rest still to read.
  if (ok || error == ERROR_IO_PENDING || error == ERROR_MORE_DATA) {
    in.pending = true;
  } else {
    Finish(in);
  }
}

// Ends the connection, if any, and listens again; at the stop the instance stays closed.
void PipeServer::Finish(Instance& in) {
  DisconnectNamedPipe(in.pipe);
  in.phase = Instance::Phase::kClosed;
  in.answer = Answer();
  if (!stopping_) Listen(in);
}

void PipeServer::Listen(Instance& in) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    in.phase = Instance::Phase::kListening;
    in.deadline = in.wake = kNever;
    in.cancelled = false;
    in.overlapped = OVERLAPPED{};
    const BOOL ok = ConnectNamedPipe(in.pipe, &in.overlapped);
    const DWORD error = ok ? 0 : GetLastError();
    if (ok || error == ERROR_IO_PENDING) {
      in.pending = true;
      return;
    }
    if (error == ERROR_PIPE_CONNECTED) {  // the client came before the wait began
      Accepted(in);
      return;
    }
    DisconnectNamedPipe(in.pipe);  // a client that came and left already
  }
  in.phase = Instance::Phase::kClosed;
}

void PipeServer::Accepted(Instance& in) {
  ++connections_;
  in.deadline = After(GetTickCount64(), settings_.clientTimeoutMs);
  in.phase = Instance::Phase::kReading;
  in.overlapped = OVERLAPPED{};
  Started(in, ReadFile(in.pipe, in.buffer, kRequestSize, nullptr, &in.overlapped));
}

void PipeServer::StartWrite(Instance& in) {
  if (in.next == in.answer.messages.size()) {
    if (in.answer.hangUp) {
      Finish(in);  // nothing was written: nothing to wait for
    } else {
      StartDrain(in);
    }
    return;
  }
  in.phase = Instance::Phase::kWriting;
  in.overlapped = OVERLAPPED{};
  const std::string& message = in.answer.messages[in.next];
  Started(in, WriteFile(in.pipe, message.data(), static_cast<DWORD>(message.size()), nullptr,
                        &in.overlapped));
}

// Disconnecting would discard a reply the client has not read: wait for the client to close.
void PipeServer::StartDrain(Instance& in) {
  in.phase = Instance::Phase::kDraining;
  in.overlapped = OVERLAPPED{};
  Started(in, ReadFile(in.pipe, in.buffer, kBufferSize, nullptr, &in.overlapped));
}

void PipeServer::Advance(Instance& in, DWORD error, DWORD bytes,
                         std::unique_lock<std::mutex>& lock) {
  using Phase = Instance::Phase;
  // Runs `work` without the lock, the instance marked as served meanwhile.
  const auto unlocked = [&](auto work) {
    in.working = true;
    lock.unlock();
    work();
    lock.lock();
    in.working = false;
  };
  if (in.phase == Phase::kListening) {
    if ((error == 0 || error == ERROR_PIPE_CONNECTED) && !(stopping_ && !finishing_)) {
      Accepted(in);
    } else {
      Finish(in);
    }
  } else if ((error != 0 && error != ERROR_MORE_DATA) || in.cancelled) {
    Finish(in);
  } else if (in.phase == Phase::kReading) {
    const std::string request(in.buffer, bytes < kRequestSize ? bytes : kRequestSize);
    unlocked([&] { in.answer = handler_(request); });
    in.next = 0;
    if (stopping_ && !finishing_) {
      Finish(in);
    } else if (in.answer.delayMs > 0) {
      in.phase = Phase::kDelaying;
      in.wake = After(GetTickCount64(), in.answer.delayMs);
      in.deadline = After(in.deadline, in.answer.delayMs);
    } else {
      StartWrite(in);
    }
  } else if (in.phase == Phase::kWriting) {
    if (++in.next == in.answer.messages.size() && in.answer.hangUp) {
      // Disconnecting drops anything unread: first wait for the client to take it.
      unlocked([&] { FlushFileBuffers(in.pipe); });
      Finish(in);
    } else {
      StartWrite(in);
    }
  } else if (in.phase == Phase::kDraining) {
    StartDrain(in);  // whatever the client sends now is not read
  }
}

// Writes the answers whose delay is over and cancels the operations past their deadline; returns
// how long a worker may wait before the next of either is due.
DWORD PipeServer::Expire() {
  const ULONGLONG now = GetTickCount64();
  ULONGLONG due = kNever;
  for (const auto& instance : instances_) {
    Instance& in = *instance;
    if (in.phase == Instance::Phase::kDelaying && in.wake <= now) {
      StartWrite(in);
    } else if (in.pending && !in.cancelled && in.deadline <= now) {
      in.cancelled = true;
      CancelIoEx(in.pipe, &in.overlapped);
    }
    if (in.phase == Instance::Phase::kDelaying) due = std::min(due, in.wake);
    if (in.pending && !in.cancelled) due = std::min(due, in.deadline);
  }
  if (due == kNever) return INFINITE;
  return due <= now ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(due - now, INFINITE - 1));
}

// Once stopping with no operation left under way, the workers are told to end.
void PipeServer::QuitIfDone() {
  if (!stopping_ || quitPosted_) return;
  for (const auto& instance : instances_) {
    if (instance->pending || instance->working || instance->phase == Instance::Phase::kDelaying) {
      return;
    }
  }
  quitPosted_ = true;
  for (std::size_t i = 0; i < workers_.size(); ++i) {
    PostQueuedCompletionStatus(port_, 0, kQuitKey, nullptr);
  }
}

void PipeServer::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // Due whether the last wait ran out or not: a steady stream of completions must not hold
    // off the deadlines of other connections.
    const DWORD wait = Expire();
    QuitIfDone();
    lock.unlock();
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    const BOOL ok = GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, wait);
    const DWORD error = ok ? 0 : GetLastError();
    lock.lock();
    if (overlapped == nullptr && key == kQuitKey && ok) return;
    if (overlapped != nullptr) {
      Instance& in = *instances_[key];
      in.pending = false;
      Advance(in, error, bytes, lock);
    }
  }
}

}  // namespace velmora::tools
