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
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmora::tools {

// What the handler answers to one request.
struct Answer {
  std::vector<std::string> messages;  // written in order, one message each; none: no reply
  DWORD delayMs = 0;                  // wait this long first; INFINITE: never write
  // Close once the messages are written and read, instead of waiting for the client to close.
  bool hangUp = false;
};

struct PipeServerSettings {
  int instances = 1;                 // 1 to 255
  DWORD clientTimeoutMs = INFINITE;  // from accepting a client to its closing, besides a delay
  bool messagePipe = true;           // false: a byte pipe, which the library refuses
  SECURITY_ATTRIBUTES* security = nullptr;
};

class PipeServer {
 public:
  // Called on a worker thread with the request: one message, at most 1024 bytes of it.
  using Handler = std::function<Answer(const std::string& request)>;

  PipeServer(PipeServerSettings settings, Handler handler);
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;
  // Stops at once, if not stopped yet.
  ~PipeServer();

  // Creates every instance, all listening when it returns; false, with the reason in `error`,
  // when the pipe cannot be created (another server may own it).
  bool Start(std::string& error);
  // Stops accepting clients. With `finishConnections` the clients already accepted are served
  // to their end (within their deadlines); without, they are cut off. Any thread may call it,
  // a handler too.
  void Stop(bool finishConnections);
  // Returns once stopped and every worker has ended.
  void Wait();

  long Connections() const;  // clients accepted so far

 private:
  struct Instance;

  void Work();
  void Listen(Instance& instance);
  void Accepted(Instance& instance);
  void Read(Instance& instance, DWORD bytes);
  void StartWrite(Instance& instance);
  void StartDrain(Instance& instance);
  void Advance(Instance& instance, DWORD error, DWORD bytes, std::unique_lock<std::mutex>& lock);
  DWORD Expire();
  void Started(Instance& instance, BOOL ok);
  void Finish(Instance& instance);
  void QuitIfDone();

  const PipeServerSettings settings_;
  const Handler handler_;
  HANDLE port_ = nullptr;
  std::vector<std::unique_ptr<Instance>> instances_;
  std::vector<std::thread> workers_;
  mutable std::mutex mutex_;  // guards every instance's state and the counts below
  bool stopping_ = false;
  bool finishing_ = false;
  bool quitPosted_ = false;
  long connections_ = 0;
};

}  // namespace velmora::tools
