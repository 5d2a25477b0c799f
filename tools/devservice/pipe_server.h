// The development service's named pipe: its instances, listening in groups that one thread each
// watches, a thread for each connected client only, groups added while callers keep the
// instances busy and closed again once the load has passed, and the overlapped waits that give
// way to a stop.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora::devservice {

// How an overlapped operation ended: done (a message longer than asked for counts, with its
// first bytes delivered), failed, given up because the stop event was set, or cancelled when
// its time ran out.
enum class Io { kDone, kFailed, kStopped, kTimedOut };

// Waits for a client to connect to the instance `pipe`, or for `stop`.
Io AwaitClient(HANDLE pipe, HANDLE stop);
// Reads or writes one message on `pipe`, or gives up when `stop` is set or `timeoutMs` has
// passed. `bytes` counts what moved.
Io Transfer(HANDLE pipe, bool read, char* buffer, DWORD size, DWORD& bytes, HANDLE stop,
            DWORD timeoutMs = INFINITE);

class PipeServer {
 public:
  // Serves the client connected to `pipe`; false once the whole server should stop.
  using ClientHandler = std::function<bool(HANDLE pipe)>;

  // `instances` fixed instances, or with 0 as many as callers need.
  PipeServer(int instances, HANDLE stop, ClientHandler handler);
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;
  ~PipeServer();

  // Creates the first instances, listening when this returns; false (with the reason on
  // stderr) if the pipe cannot be created.
  bool Start();
  // Returns once the stop event is set and every instance and client thread has ended.
  void Join();

 private:
  struct Instance;
  struct Group;

  bool AddGroup(int count, bool first);
  void Watch(Group& group);
  void Dispatch(Group& group, Instance& instance);
  bool Listen(Instance& instance);
  bool Retire(Group& group);
  static void Close(Group& group);
  void Grow();

  const int instances_;
  const HANDLE stop_;
  const ClientHandler handler_;
  void* security_ = nullptr;  // the pipe's security descriptor, made once
  std::mutex mutex_;
  std::list<std::unique_ptr<Group>> groups_;  // groups never move while they exist
  std::vector<std::thread> watchers_;
  std::condition_variable clientsDone_;
  int clients_ = 0;                // client threads still running, under mutex_
  std::atomic<int> live_{0};       // instances that exist
  std::atomic<int> listening_{0};  // instances waiting for a client
};

}  // namespace velmora::devservice
