// The control pipe: a test suite's way in to the running service (control.h says what it
// answers). Each of its 64 instances is served by a thread of its own with I/O it can cancel,
// so a control client, however slow or hostile, holds up only itself: never a caller of
// pipe_job, another control client, or the stop; and one that idles before its first line or
// inside a line is cut off after 10 s.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "control/control.h"

namespace velmora::devservice {

// "\\.\pipe\velmora-devservice", or the name given (a bare name goes under \\.\pipe\).
std::string ControlPipeName(const std::string& given);

class ControlPipe {
 public:
  using Answerer = std::function<ControlAnswer(const std::string& line, ControlConnection&)>;
  using Closer = std::function<void(const ControlConnection&)>;
  // `answer` answers each line of a connection, `closed` is told when it ends; `stop` is called
  // once a stop's answer is written.
  ControlPipe(Answerer answer, Closer closed, std::function<void()> stop);
  ControlPipe(const ControlPipe&) = delete;
  ControlPipe& operator=(const ControlPipe&) = delete;
  // Cuts every control connection off and waits for the threads.
  ~ControlPipe();

  // Creates the instances, local clients only; false, with the reason, when the name is taken.
  bool Start(const std::string& name, SECURITY_ATTRIBUTES* security, std::string& error);

 private:
  void Serve(HANDLE pipe);
  void Converse(HANDLE pipe, OVERLAPPED& overlapped, ControlConnection& connection);
  bool Io(BOOL started, HANDLE pipe, OVERLAPPED& overlapped, DWORD& bytes,
          DWORD timeoutMs = INFINITE);
  bool WriteLine(HANDLE pipe, OVERLAPPED& overlapped, std::string line);

  Answerer answer_;
  Closer closed_;
  std::function<void()> stop_;
  HANDLE quit_;
  std::vector<HANDLE> pipes_;
  std::vector<std::thread> threads_;
};

}  // namespace velmora::devservice
