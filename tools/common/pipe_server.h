// The one named-pipe server: the development service, the tests' scripted service and the pipe
// benchmark all serve "\\.\pipe\pipe_job" with it.
//
// Every instance is created at the start, listens on one I/O completion port, and is closed
// only at the stop, so no instance ever goes away while a client may be connecting to it. A few
// worker threads take the completions; each connection is a short sequence: accept, read one
// request message, ask the handler, write its answer's messages, then wait for the client to
// close. The whole connection has one deadline (the client time limit, plus any delay the
// answer asks for): whatever the client sends or withholds, at the deadline its I/O is
// cancelled, it is disconnected and the instance listens again.
//
// The owner may make the pipe busy (every instance not serving a caller is held by a client of
// the server's own) or absent (every such instance is closed, so the name goes away); callers
// already connected are served to their end either way. At the stop every instance is held
// likewise, so that no caller gets in only to be cut off.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pipe_service.h"

namespace velmora::tools {

struct PipeServerSettings {
  int instances = 1;                 // 1 to 255
  DWORD clientTimeoutMs = INFINITE;  // from accepting a client to its closing, besides a delay
  bool messagePipe = true;           // false: a byte pipe, which the library refuses
  SECURITY_ATTRIBUTES* security = nullptr;
};

class PipeServer {
 public:
  // `service` answers the callers; it must outlive the server.
  PipeServer(PipeServerSettings settings, PipeService& service);
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;
  // Stops at once, cutting off every client still connected.
  ~PipeServer();

  // Creates every instance, all listening when it returns; false, with the reason in `error`,
  // when the pipe cannot be created (another server may own it).
  bool Start(std::string& error);
  // Stops accepting clients; no instance listens from here on. Every client already connected
  // has its request read and answered (the owner decides how). With `finishConnections` the
  // answers keep their delays; without, delayed answers are written at once and connections
  // with nothing written are closed. Any thread may call it.
  void Stop(bool finishConnections);
  // Asks the owner for the pipe's state and puts the pipe in it before returning (after its
  // rules changed, say).
  void Refresh();
  // Returns once stopped and every worker has ended.
  void Wait();

  long Connections() const;  // clients accepted so far

 private:
  struct Instance;

  void Abort();
  void Work();
  bool Create(Instance& instance);
  void Listen(Instance& instance);
  void CheckState(ULONGLONG now, std::unique_lock<std::mutex>& lock);
  void ApplyState();
  bool AnyListening() const;
  void Fill();
  void Release();
  void Accepted(Instance& instance);
  void Read(Instance& instance, DWORD bytes);
  void StartWrite(Instance& instance);
  void StartDrain(Instance& instance);
  void Advance(Instance& instance, DWORD error, DWORD bytes, std::unique_lock<std::mutex>& lock);
  DWORD Expire(std::unique_lock<std::mutex>& lock);
  void Started(Instance& instance, BOOL ok);
  void Finish(Instance& instance);
  void QuitIfDone();

  const PipeServerSettings settings_;
  PipeService& service_;
  HANDLE port_ = nullptr;
  std::vector<std::unique_ptr<Instance>> instances_;
  std::vector<std::thread> workers_;
  mutable std::mutex mutex_;                // guards every instance's state and the counts below
  std::condition_variable instanceClosed_;  // an instance went while the pipe is absent
  bool stopping_ = false;
  bool finishing_ = false;
  bool quitPosted_ = false;
  long connections_ = 0;
  PipeState state_ = PipeState::kServing;
  std::vector<HANDLE> holders_;  // our own clients, holding instances while busy or stopping
  ULONGLONG stateCheck_ = 0;     // when to ask the owner for the state again
};

}  // namespace velmora::tools
