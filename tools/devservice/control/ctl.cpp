#include "control/ctl.h"

#include <windows.h>

#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "control/control.h"
#include "control/control_pipe.h"
#include "rules/rules_file.h"
#include "sessions/process_tree.h"
#include "wide_text.h"

namespace velmora::devservice {
namespace {

constexpr DWORD kBusyWaitMs = 5000;  // every control instance taken: wait this long in all
// A service that takes a line and never answers it must not hold a script for ever.
constexpr DWORD kAnswerMs = 30000;

int Fail(const std::string& why, int status = 2) {
  (void)std::fprintf(stderr, "velmora-devservice ctl: %s\n", why.c_str());
  return status;
}

// Connects, waiting a while for an instance when every one is taken.
HANDLE Connect(const std::string& name, DWORD& error) {
  const std::wstring wide = tools::WideFromUtf8(name);
  const ULONGLONG until = GetTickCount64() + kBusyWaitMs;
  for (;;) {
    const HANDLE pipe = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    error = GetLastError();
    const ULONGLONG now = GetTickCount64();
    if (error != ERROR_PIPE_BUSY || now >= until) return INVALID_HANDLE_VALUE;
    WaitNamedPipeW(wide.c_str(), static_cast<DWORD>(until - now));
  }
}

// One write or read, given until `until` (GetTickCount64) to end; false when it failed or the
// time ran out (the operation is then cancelled).
bool Within(HANDLE pipe, ULONGLONG until, bool write, void* buffer, DWORD size, DWORD& moved) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const BOOL started = write ? WriteFile(pipe, buffer, size, nullptr, &overlapped)
                             : ReadFile(pipe, buffer, size, nullptr, &overlapped);
  bool done = started != FALSE;
  if (!done && GetLastError() == ERROR_IO_PENDING) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now >= until ? 0 : static_cast<DWORD>(until - now);
    if (WaitForSingleObject(overlapped.hEvent, left) != WAIT_OBJECT_0)
      CancelIoEx(pipe, &overlapped);
    done = GetOverlappedResult(pipe, &overlapped, &moved, TRUE) != FALSE;
  } else if (done) {
    done = GetOverlappedResult(pipe, &overlapped, &moved, TRUE) != FALSE;
  }
  CloseHandle(overlapped.hEvent);
  return done;
}

// Sends one line and reads the answer line, by `until`; false, with the reason, when none came.
bool Exchange(HANDLE pipe, const std::string& name, std::string line, ULONGLONG until,
              std::string& answer, std::string& error) {
  line += '\n';
  DWORD written = 0;
  std::string read;
  bool whole = Within(pipe, until, true, &line[0], static_cast<DWORD>(line.size()), written) &&
               written == line.size();
  while (whole && read.find('\n') == std::string::npos) {
    char buffer[65536];
    DWORD got = 0;
    whole = Within(pipe, until, false, buffer, sizeof buffer, got) && got > 0;
    read.append(buffer, got);
  }
  const std::size_t end = read.find('\n');
  if (end != std::string::npos) {
    answer = read.substr(0, end);
    return true;
  }
  error = GetTickCount64() >= until ? name + " took the line but gave no answer within " +
                                          std::to_string(kAnswerMs / 1000) + " s"
                                    : "the service closed the control pipe unanswered";
  return false;
}

// The script that ran ctl: a session ctl opens covers it, since ctl itself ends at once.
unsigned long ParentProcess() {
  const std::vector<ProcessIdentity> chain = Ancestry(GetCurrentProcessId(), SystemProcesses());
  return chain.size() > 1 ? chain[1].pid : 0;
}

}  // namespace

int Control(const ControlOptions& given) {
  ControlOptions options = given;
  std::string rules, error, line;
  if ((options.op == "session" || options.op == "end") && options.session.empty()) {
    return Fail(options.op + " needs --session NAME", kControlCannotRun);
  }
  if (options.op == "apply") {
    if (options.file == "-") {
      rules.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else if (!ReadTextFile(options.file, rules, error)) {
      return Fail(error, kControlCannotRun);
    }
  }
  if (!options.session.empty() && options.process == 0) options.process = ParentProcess();
  if (!ControlRequest(options, rules, line, error)) return Fail(error, kControlCannotRun);
  const std::string name = ControlPipeName(options.pipe);
  DWORD code = 0;
  const HANDLE pipe = Connect(name, code);
  if (pipe == INVALID_HANDLE_VALUE) {
    return Fail(code == ERROR_FILE_NOT_FOUND
                    ? "no service serves " + name
                    : "cannot reach " + name + " (error " + std::to_string(code) + ")");
  }
  const ULONGLONG until = GetTickCount64() + kAnswerMs;
  std::string answer;
  // A named session is joined (or opened) first; the op then acts on it.
  const bool joins = !options.session.empty() && options.op != "end";
  if (options.op == "session") line = SessionRequest(options);
  bool answered = true;
  if (joins && options.op != "session") {
    answered = Exchange(pipe, name, SessionRequest(options), until, answer, error);
    const ControlOutcome joined = answered ? ReadControlAnswer({}, answer) : ControlOutcome();
    if (answered && joined.exitCode != 0) {
      CloseHandle(pipe);
      (void)std::fputs(joined.err.c_str(), stderr);
      return joined.exitCode;
    }
  }
  answered = answered && Exchange(pipe, name, line, until, answer, error);
  CloseHandle(pipe);
  if (!answered) return Fail(error);
  const ControlOutcome outcome = ReadControlAnswer(options, answer);
  (void)std::fputs(outcome.out.c_str(), stdout);
  (void)std::fputs(outcome.err.c_str(), stderr);
  return outcome.exitCode;
}

}  // namespace velmora::devservice
