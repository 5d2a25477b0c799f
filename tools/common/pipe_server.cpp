#include "pipe_server.h"

#include <algorithm>
#include <chrono>
#include <limits>

namespace velmora::tools {
namespace {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\pipe_job";
constexpr DWORD kBufferSize = 4096;
constexpr DWORD kRequestSize = 1024;  // a request frame; a longer message is cut here
constexpr int kWorkers = 4;
constexpr ULONG_PTR kQuitKey = std::numeric_limits<ULONG_PTR>::max();
constexpr ULONG_PTR kWakeKey = kQuitKey - 1;
constexpr ULONGLONG kNever = std::numeric_limits<ULONGLONG>::max();
// Past its deadline a flush is cancelled again this often: the first cancel may come before
// the flush has begun to wait.
constexpr DWORD kFlushCancelMs = 50;

ULONGLONG After(ULONGLONG from, DWORD ms) {
  return ms == INFINITE || from == kNever ? kNever : from + ms;
}

// Whether a client is connected to an instance whose wait for one was cancelled: it may have
// come just before the cancel took effect.
bool ClientConnected(HANDLE pipe) {
  DWORD available = 0;
  return PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) != FALSE;
}

VOID CALLBACK CancelFlush(PVOID thread, BOOLEAN) {
  CancelSynchronousIo(static_cast<HANDLE>(thread));
}

// Waits for the client to read all that was written, until `deadline` at the latest: a timer
// of the system's, not a worker, cancels the wait, so clients that never read cannot hold
// every worker.
void FlushUntil(HANDLE pipe, ULONGLONG deadline) {
  const ULONGLONG now = GetTickCount64();
  if (deadline <= now) return;
  HANDLE self = nullptr;
  HANDLE timer = nullptr;
  const bool bounded =
      deadline != kNever &&
      DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                      DUPLICATE_SAME_ACCESS) &&
      CreateTimerQueueTimer(&timer, nullptr, CancelFlush, self,
                            static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1)),
                            kFlushCancelMs, WT_EXECUTEDEFAULT);
  FlushFileBuffers(pipe);
  if (bounded) DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);  // its last run done
  if (self != nullptr) CloseHandle(self);
}

}  // namespace

// Each instance is in one phase; what it is doing follows from it.
//
//   phase        I/O under way            goes to, on                 by
//   kClosed      none; not listening      kListening (Listen)        start, Finish, a state change
//                (pipe == INVALID: gone)
//   kListening   ConnectNamedPipe         kReading (a client came)   completion
//                                         kClosed (cancelled)        stop, absent
//   kReading     ReadFile, one frame      kHeld (our own client)     completion: empty message
//                                         kAnswering (a request)     completion
//   kAnswering   none: the owner's        kDelaying, kWriting        the owner's answer
//                handler runs, unlocked
//   kDelaying    none: until `wake`       kWriting                   Expire at `wake`, stop
//   kWriting     WriteFile, one message   kWriting (more to write)   completion
//                                         kFlushing (hang-up last)   completion
//                                         kDraining                  completion, all written
//   kFlushing    none: FlushFileBuffers,  kClosed (Finish)           the client read it all,
//                unlocked                                            deadline (a timer cancels it)
//   kDraining    ReadFile, ignored        kClosed (Finish)           the client closes, deadline
//   kHeld        none                     kClosed (Finish)           the busy spell ends
//
// Any error, and the connection's deadline (Expire cancels the I/O), ends the connection:
// Finish disconnects, reports the answer if one was made, and listens again (kListening), or
// at the stop stays kClosed.
//
// Lock order: mutex_ is taken after any lock of the owner's (its rules may change under a lock
// of its own, then Refresh), and is held while the owner's StateNow, HangUpOnConnect and
// OnDelivered run, which take only the owner's own inner locks; it is released while OnRequest
// runs, the one call that may be slow (a rule's pattern), and while a flush waits for a client.
struct PipeServer::Instance {
  enum class Phase {
    kClosed,
    kListening,
    kReading,
    kAnswering,
    kDelaying,
    kWriting,
    kFlushing,
    kDraining,
    kHeld
  };
  ULONG_PTR key = 0;
  HANDLE pipe = INVALID_HANDLE_VALUE;
  OVERLAPPED overlapped{};
  Phase phase = Phase::kClosed;
  bool cancelled = false;  // its deadline passed and the I/O under way was cancelled
  ULONGLONG deadline = kNever;
  ULONGLONG wake = kNever;  // while delaying: when to write
  ULONGLONG arrived = 0;    // when the request was read
  Caller caller;
  Answer answer;
  std::size_t emptyLeft = 0;  // empty messages still to write before the answer's messages
  std::size_t next = 0;       // the answer's next message
  std::uint64_t written = 0;
  char buffer[kBufferSize];

  // An I/O operation is under way; its completion will come to the port.
  bool Pending() const {
    return phase == Phase::kListening || phase == Phase::kReading || phase == Phase::kWriting ||
           phase == Phase::kDraining;
  }
  // A worker serves it without the lock.
  bool Working() const { return phase == Phase::kAnswering || phase == Phase::kFlushing; }
  // A request was read on this connection: the owner is told how its answer went at the end.
  bool HasRequest() const {
    return phase == Phase::kAnswering || phase == Phase::kDelaying || phase == Phase::kWriting ||
           phase == Phase::kFlushing || phase == Phase::kDraining;
  }
};

PipeServer::PipeServer(PipeServerSettings settings, PipeService& service)
    : settings_(settings), service_(service) {}

PipeServer::~PipeServer() {
  Abort();
  Wait();
  for (const auto& instance : instances_) {
    if (instance->pipe != INVALID_HANDLE_VALUE) CloseHandle(instance->pipe);
  }
  Release();
  if (port_ != nullptr) CloseHandle(port_);
}

bool PipeServer::Start(std::string& error) {
  port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, kWorkers);
  if (port_ == nullptr) {
    error = "cannot create an I/O completion port (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  for (int i = 0; i < settings_.instances; ++i) {
    auto instance = std::make_unique<Instance>();
    instance->key = instances_.size();
    if (!Create(*instance)) {
      const DWORD code = GetLastError();
      error = "cannot create \\\\.\\pipe\\pipe_job (error " + std::to_string(code) + ")" +
              (code == ERROR_ACCESS_DENIED ? ": another server owns it" : "");
      return false;
    }
    instances_.push_back(std::move(instance));
  }
  for (int i = 0; i < kWorkers; ++i) workers_.emplace_back([this] { Work(); });
  std::lock_guard<std::mutex> lock(mutex_);
  // The owner may want the pipe busy or absent from the very start.
  std::uint64_t next = kNever;
  state_ = service_.StateNow(GetTickCount64(), next);
  stateCheck_ = next;
  for (const auto& instance : instances_) Listen(*instance);
  return true;
}

// Creates the instance's end of the pipe; the first of them fails where another server owns
// the name. Local callers only.
bool PipeServer::Create(Instance& in) {
  const bool first = std::none_of(instances_.begin(), instances_.end(), [](const auto& other) {
    return other->pipe != INVALID_HANDLE_VALUE;
  });
  const DWORD type = settings_.messagePipe ? PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE
                                           : PIPE_TYPE_BYTE | PIPE_READMODE_BYTE;
  in.pipe = CreateNamedPipeW(
      kPipeName,
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      type | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, static_cast<DWORD>(settings_.instances),
      kBufferSize, kBufferSize, 0, settings_.security);
  if (in.pipe == INVALID_HANDLE_VALUE) return false;
  CreateIoCompletionPort(in.pipe, port_, in.key, 0);
  return true;
}

void PipeServer::Stop(bool finishConnections) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_ && (!finishing_ || finishConnections)) return;
  stopping_ = true;
  finishing_ = finishConnections;
  // Every instance still listening is taken by a client of our own, so a caller from now on
  // finds the pipe busy instead of being let in and cut off at the exit. One that got in first
  // is served.
  Fill();
  for (const auto& instance : instances_) {
    Instance& in = *instance;
    using Phase = Instance::Phase;
    const bool idleDrain = in.phase == Phase::kDraining && in.written == 0;
    if (in.Pending() && (in.phase == Phase::kListening || (idleDrain && !finishConnections))) {
      CancelIoEx(in.pipe, &in.overlapped);
    } else if (in.phase == Phase::kDelaying && !finishConnections) {
      StartWrite(in);
    }
  }
  QuitIfDone();
}

// Cuts every connection off, whatever it is doing.
void PipeServer::Abort() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = true;
  finishing_ = false;
  for (const auto& instance : instances_) {
    if (instance->Pending()) {
      CancelIoEx(instance->pipe, &instance->overlapped);
    } else if (instance->phase == Instance::Phase::kDelaying) {
      Finish(*instance);
    }
  }
  QuitIfDone();
}

void PipeServer::Refresh() {
  std::unique_lock<std::mutex> lock(mutex_);
  // Applied here, not left to a worker: once this returns, a caller meets the new state (our
  // own clients hold a busy pipe's instances by then).
  if (!stopping_) CheckState(GetTickCount64(), lock);
  PostQueuedCompletionStatus(port_, 0, kWakeKey, nullptr);  // the workers' waits start afresh
}

// Asks the owner for the pipe's state and puts the pipe in it.
void PipeServer::CheckState(ULONGLONG now, std::unique_lock<std::mutex>& lock) {
  std::uint64_t next = kNever;
  const PipeState state = service_.StateNow(now, next);
  stateCheck_ = next;
  if (state == state_) return;
  state_ = state;
  ApplyState();
  // An instance goes only once a worker sees its listen cancelled: until then a caller could
  // still connect to a pipe that should be gone. Another worker does it, so a worker waits too.
  if (state_ == PipeState::kAbsent) {
    PostQueuedCompletionStatus(port_, 0, kWakeKey, nullptr);
    instanceClosed_.wait_for(lock, std::chrono::seconds(2), [this] { return !AnyListening(); });
  }
}

bool PipeServer::AnyListening() const {
  for (const auto& instance : instances_) {
    if (instance->phase == Instance::Phase::kListening && instance->pipe != INVALID_HANDLE_VALUE) {
      return true;
    }
  }
  return false;
}

// Puts every instance not serving a caller in the state's way: listening, held, or closed.
void PipeServer::ApplyState() {
  using Phase = Instance::Phase;
  // Our own clients let go before their instances listen again: closed after, a client's close
  // could reach a caller who had just taken its instance, who then read 233 with its request
  // unread (seen once in hundreds of busy spells under Wine).
  if (state_ != PipeState::kBusy) Release();
  for (const auto& instance : instances_) {
    Instance& in = *instance;
    if (in.Pending() || in.Working()) {
      // Absent: a listening instance goes once its wait is cancelled.
      if (state_ == PipeState::kAbsent && in.phase == Phase::kListening) {
        CancelIoEx(in.pipe, &in.overlapped);
      }
    } else if (in.phase == Phase::kHeld) {
      if (state_ != PipeState::kBusy) Finish(in);
    } else if (in.phase == Phase::kClosed) {
      Listen(in);
    }
  }
  if (state_ == PipeState::kBusy) Fill();
}

// Connects clients of our own to every listening instance. Each sends an empty message, by
// which its connection is told from a caller's.
void PipeServer::Fill() {
  for (std::size_t i = holders_.size(); i < instances_.size(); ++i) {
    const HANDLE holder =
        CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (holder == INVALID_HANDLE_VALUE) return;  // busy: none listens any more
    DWORD written = 0;
    WriteFile(holder, "", 0, &written, nullptr);
    holders_.push_back(holder);
  }
}

void PipeServer::Release() {
  for (const HANDLE holder : holders_) CloseHandle(holder);
  holders_.clear();
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

// Ends the connection when the operation just started failed at once; otherwise its completion
// will come.
void PipeServer::Started(Instance& in, BOOL ok) {
  const DWORD error = ok ? 0 : GetLastError();
  // A message longer than the buffer completes like a success, with the rest still to read.
  // Either way the completion comes to the port.
  if (!ok && error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) Finish(in);
}

// Ends the connection, if any, reports how its answer went, and listens again; at the stop the
// instance stays closed, and callers find the pipe busy.
void PipeServer::Finish(Instance& in) {
  DisconnectNamedPipe(in.pipe);
  const bool hadRequest = in.HasRequest();
  in.phase = Instance::Phase::kClosed;
  if (hadRequest) {
    Delivery delivery;
    delivery.bytesWritten = in.written;
    delivery.callerLeftEarly = in.emptyLeft > 0 || in.next < in.answer.messages.size();
    delivery.ms = GetTickCount64() - in.arrived;
    service_.OnDelivered(in.answer, delivery);
  }
  in.answer = Answer();
  if (!stopping_) Listen(in);
}

void PipeServer::Listen(Instance& in) {
  in.phase = Instance::Phase::kClosed;
  if (stopping_) return;
  if (state_ == PipeState::kAbsent) {
    // The instance goes, and with the last one the name.
    if (in.pipe != INVALID_HANDLE_VALUE) CloseHandle(in.pipe);
    in.pipe = INVALID_HANDLE_VALUE;
    instanceClosed_.notify_all();
    return;
  }
  if (in.pipe == INVALID_HANDLE_VALUE && !Create(in)) return;
  // Busy: an instance that comes free does not listen until the spell ends. Listening, even
  // until one of our own clients took it, a caller could get in first, or meet 231 at once
  // instead of the busy wait.
  if (state_ == PipeState::kBusy) return;
  for (int attempt = 0; attempt < 2; ++attempt) {
    in.phase = Instance::Phase::kListening;
    in.deadline = in.wake = kNever;
    in.cancelled = false;
    in.overlapped = OVERLAPPED{};
    const BOOL ok = ConnectNamedPipe(in.pipe, &in.overlapped);
    const DWORD error = ok ? 0 : GetLastError();
    if (ok || error == ERROR_IO_PENDING) return;
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
  in.written = 0;
  in.emptyLeft = in.next = 0;
  in.caller = Caller();
  GetNamedPipeClientProcessId(in.pipe, &in.caller.processId);
  if (!stopping_ && state_ == PipeState::kServing && service_.HangUpOnConnect(in.caller)) {
    Finish(in);
    return;
  }
  in.phase = Instance::Phase::kReading;
  in.overlapped = OVERLAPPED{};
  Started(in, ReadFile(in.pipe, in.buffer, kRequestSize, nullptr, &in.overlapped));
}

void PipeServer::StartWrite(Instance& in) {
  const bool empty = in.emptyLeft > 0;
  if (!empty && in.next == in.answer.messages.size()) {
    // Nothing (more) to write. With a hang-up nothing is left to wait for; when stopping, a
    // caller that got nothing has nothing to read either.
    if (in.answer.hangUp || (stopping_ && !finishing_ && in.written == 0)) {
      Finish(in);
    } else {
      StartDrain(in);
    }
    return;
  }
  in.phase = Instance::Phase::kWriting;
  in.overlapped = OVERLAPPED{};
  static const std::string kNothing;
  const std::string& message = empty ? kNothing : in.answer.messages[in.next];
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
  // Runs `work` without the lock, in `phase`, which no other worker touches.
  const auto unlocked = [&](Phase phase, auto work) {
    in.phase = phase;
    lock.unlock();
    work();
    lock.lock();
  };
  if (in.phase == Phase::kListening) {
    // Even at the stop a caller that got in is served: its request is answered, not cut.
    if (error == 0 || error == ERROR_PIPE_CONNECTED || ClientConnected(in.pipe)) {
      Accepted(in);
    } else {
      Finish(in);
    }
  } else if ((error != 0 && error != ERROR_MORE_DATA) || in.cancelled) {
    Finish(in);
  } else if (in.phase == Phase::kReading && bytes == 0 && error == 0) {
    // An empty message is no request. Our own clients send one, to be held while busy or
    // stopping; anywhere else it is skipped and the request read after it.
    if (state_ == PipeState::kBusy || stopping_) {
      in.phase = Phase::kHeld;
    } else {
      in.overlapped = OVERLAPPED{};
      Started(in, ReadFile(in.pipe, in.buffer, kRequestSize, nullptr, &in.overlapped));
    }
  } else if (in.phase == Phase::kReading) {
    const std::string request(in.buffer, bytes < kRequestSize ? bytes : kRequestSize);
    // A message longer than a frame: the rest of it is still in the pipe.
    DWORD rest = 0;
    if (error == ERROR_MORE_DATA) PeekNamedPipe(in.pipe, nullptr, 0, nullptr, nullptr, &rest);
    in.arrived = GetTickCount64();
    unlocked(Phase::kAnswering, [&] {
      in.answer = service_.OnRequest(in.caller, request, std::size_t{bytes} + rest);
    });
    // A window counted in requests may open with this one: in place before its answer goes.
    if (!stopping_) CheckState(GetTickCount64(), lock);
    in.emptyLeft = in.answer.emptyMessages;
    in.next = 0;
    if (in.answer.delayMs > 0 && !(stopping_ && !finishing_)) {
      in.phase = Phase::kDelaying;
      in.wake = After(GetTickCount64(), in.answer.delayMs);
      in.deadline = After(in.deadline, in.answer.delayMs);
    } else {
      StartWrite(in);
    }
  } else if (in.phase == Phase::kWriting) {
    in.written += bytes;
    if (in.emptyLeft > 0) {  // the message written was an empty one
      if (in.emptyLeft != kUntilTheCallerLeaves) --in.emptyLeft;
    } else {
      ++in.next;
    }
    if (in.emptyLeft == 0 && in.next == in.answer.messages.size() && in.answer.hangUp) {
      // Disconnecting drops anything unread: first wait for the client to take it.
      unlocked(Phase::kFlushing, [&] { FlushUntil(in.pipe, in.deadline); });
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
DWORD PipeServer::Expire(std::unique_lock<std::mutex>& lock) {
  const ULONGLONG now = GetTickCount64();
  if (!stopping_ && stateCheck_ <= now) CheckState(now, lock);
  ULONGLONG due = stopping_ ? kNever : stateCheck_;
  for (const auto& instance : instances_) {
    Instance& in = *instance;
    if (in.phase == Instance::Phase::kDelaying && in.wake <= now) {
      StartWrite(in);
    } else if (in.Pending() && !in.cancelled && in.deadline <= now) {
      in.cancelled = true;
      CancelIoEx(in.pipe, &in.overlapped);
    }
    if (in.phase == Instance::Phase::kDelaying) due = std::min(due, in.wake);
    if (in.Pending() && !in.cancelled) due = std::min(due, in.deadline);
  }
  if (due == kNever) return INFINITE;
  return due <= now ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(due - now, INFINITE - 1));
}

// Once stopping with no operation left under way, the workers are told to end.
void PipeServer::QuitIfDone() {
  if (!stopping_ || quitPosted_) return;
  for (const auto& instance : instances_) {
    if (instance->Pending() || instance->Working() ||
        instance->phase == Instance::Phase::kDelaying) {
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
    const DWORD wait = Expire(lock);
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
      Advance(*instances_[key], error, bytes, lock);
    }
  }
}

}  // namespace velmora::tools
