#include "control/ctl.h"

#include <windows.h>

#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

#include "control/control.h"
#include "control/control_pipe.h"
#include "rules/rules_file.h"
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

}  // namespace

int Control(const ControlOptions& options) {
  std::string rules, error, line;
  if (options.op == "apply") {
    if (options.file == "-") {
      rules.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else if (!ReadTextFile(options.file, rules, error)) {
      return Fail(error, kControlCannotRun);
    }
  }
  if (!ControlRequest(options, rules, line, error)) return Fail(error, kControlCannotRun);
  const std::string name = ControlPipeName(options.pipe);
  DWORD code = 0;
  const HANDLE pipe = Connect(name, code);
  if (pipe == INVALID_HANDLE_VALUE) {
    return Fail(code == ERROR_FILE_NOT_FOUND
                    ? "no service serves " + name
                    : "cannot reach " + name + " (error " + std::to_string(code) + ")");
  }
  line += '\n';
  const ULONGLONG until = GetTickCount64() + kAnswerMs;
  DWORD written = 0;
  std::string answer;
  bool whole = Within(pipe, until, true, &line[0], static_cast<DWORD>(line.size()), written) &&
               written == line.size();
  while (whole && answer.find('\n') == std::string::npos) {
    char buffer[65536];
    DWORD got = 0;
    whole = Within(pipe, until, false, buffer, sizeof buffer, got) && got > 0;
    answer.append(buffer, got);
  }
  CloseHandle(pipe);
  const std::size_t end = answer.find('\n');
  if (end == std::string::npos && GetTickCount64() >= until) {
    return Fail(name + " took the line but gave no answer within " +
                std::to_string(kAnswerMs / 1000) + " s");
  }
  if (end == std::string::npos) return Fail("the service closed the control pipe unanswered");
  const ControlOutcome outcome = ReadControlAnswer(options, answer.substr(0, end));
  (void)std::fputs(outcome.out.c_str(), stdout);
  (void)std::fputs(outcome.err.c_str(), stderr);
  return outcome.exitCode;
}

}  // namespace velmora::devservice
