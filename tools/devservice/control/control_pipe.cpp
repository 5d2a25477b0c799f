#include "control/control_pipe.h"

#include <algorithm>

#include "wide_text.h"

namespace velmora::devservice {
namespace {

constexpr char kPipePrefix[] = "\\\\.\\pipe\\";
// Control clients served at once, each by a thread of its own; more wait as for a busy pipe.
constexpr int kInstances = 64;
// A client that sends nothing this long after connecting, or stops this long inside a line, is
// cut off, so idle connections cannot hold every instance. Between lines a client may idle:
// a test suite's helper holds its connection for the whole suite.
constexpr DWORD kIdleMs = 10000;
constexpr DWORD kBufferSize = 64 * 1024;
constexpr DWORD kDrainMs = 2000;  // after a line too long, for the client to read the answer

}  // namespace

std::string ControlPipeName(const std::string& given) {
  if (given.empty()) return std::string(kPipePrefix) + "velmora-devservice";
  return given.rfind(kPipePrefix, 0) == 0 ? given : kPipePrefix + given;
}

ControlPipe::ControlPipe(Answerer answer, Closer closed, std::function<void()> stop)
    : answer_(std::move(answer)),
      closed_(std::move(closed)),
      stop_(std::move(stop)),
      quit_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

ControlPipe::~ControlPipe() {
  SetEvent(quit_);
  for (std::thread& thread : threads_) thread.join();
  for (const HANDLE pipe : pipes_) CloseHandle(pipe);
  CloseHandle(quit_);
}

bool ControlPipe::Start(const std::string& name, SECURITY_ATTRIBUTES* security,
                        std::string& error) {
  const std::wstring wide = tools::WideFromUtf8(name);
  for (int i = 0; i < kInstances; ++i) {
    const HANDLE pipe = CreateNamedPipeW(
        wide.c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, kInstances,
        kBufferSize, kBufferSize, 0, security);
    if (pipe == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      error = "cannot create the control pipe " + name + " (error " + std::to_string(code) + ")" +
              (code == ERROR_ACCESS_DENIED ? ": another service owns it; give --control NAME" : "");
      return false;
    }
    pipes_.push_back(pipe);
  }
  for (const HANDLE pipe : pipes_) threads_.emplace_back([this, pipe] { Serve(pipe); });
  return true;
}

// Waits for the operation just started to end, or for the quit or the time limit, which cancel
// it. True when it succeeded, with the bytes it moved.
bool ControlPipe::Io(BOOL started, HANDLE pipe, OVERLAPPED& overlapped, DWORD& bytes,
                     DWORD timeoutMs) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  const HANDLE waits[] = {overlapped.hEvent, quit_};
  if (WaitForMultipleObjects(2, waits, FALSE, timeoutMs) != WAIT_OBJECT_0) {
    CancelIoEx(pipe, &overlapped);
    GetOverlappedResult(pipe, &overlapped, &bytes, TRUE);
    return false;
  }
  return GetOverlappedResult(pipe, &overlapped, &bytes, FALSE) != FALSE;
}

bool ControlPipe::WriteLine(HANDLE pipe, OVERLAPPED& overlapped, std::string line) {
  line += '\n';
  for (std::size_t done = 0; done < line.size();) {
    DWORD written = 0;
    const DWORD part = static_cast<DWORD>(std::min<std::size_t>(line.size() - done, kBufferSize));
    if (!Io(WriteFile(pipe, line.data() + done, part, nullptr, &overlapped), pipe, overlapped,
            written)) {
      return false;
    }
    done += written;
  }
  return true;
}

void ControlPipe::Converse(HANDLE pipe, OVERLAPPED& overlapped, ControlConnection& connection) {
  LineSplitter splitter;
  std::vector<char> buffer(kBufferSize);
  bool answered = false;  // a whole line came and was answered
  for (;;) {
    DWORD got = 0;
    const DWORD limit = !answered || splitter.Midline() ? kIdleMs : INFINITE;
    if (!Io(ReadFile(pipe, buffer.data(), kBufferSize, nullptr, &overlapped), pipe, overlapped, got,
            limit)) {
      return;
    }
    std::vector<std::string> lines;
    const bool fits = splitter.Add({buffer.data(), got}, lines);
    for (const std::string& line : lines) {
      const ControlAnswer answer = answer_(line, connection);
      if (!WriteLine(pipe, overlapped, answer.line)) return;
      answered = true;
      if (answer.stop) stop_();
    }
    if (!fits) {
      // Disconnecting drops what the client has not read: give it a moment to read the
      // answer and close, reading nothing more of what it sends meanwhile.
      if (!WriteLine(pipe, overlapped, LineTooLongAnswer())) return;
      const ULONGLONG until = GetTickCount64() + kDrainMs;
      for (ULONGLONG now = GetTickCount64(); now < until; now = GetTickCount64()) {
        if (!Io(ReadFile(pipe, buffer.data(), kBufferSize, nullptr, &overlapped), pipe, overlapped,
                got, static_cast<DWORD>(until - now))) {
          return;
        }
      }
      return;
    }
  }
}

void ControlPipe::Serve(HANDLE pipe) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  while (WaitForSingleObject(quit_, 0) == WAIT_TIMEOUT) {
    DWORD unused = 0;
    const BOOL connected = ConnectNamedPipe(pipe, &overlapped);
    const DWORD error = connected ? 0 : GetLastError();
    if (connected || error == ERROR_PIPE_CONNECTED || Io(connected, pipe, overlapped, unused)) {
      // Every answer was read: the client closes only once it has what it waited for.
      ControlConnection connection;
      GetNamedPipeClientProcessId(pipe, &connection.pid);
      Converse(pipe, overlapped, connection);
      closed_(connection);
    } else if (error != ERROR_IO_PENDING && error != ERROR_NO_DATA) {
      Sleep(10);  // an instance that cannot listen: do not spin on it
    }
    DisconnectNamedPipe(pipe);
  }
  CloseHandle(overlapped.hEvent);
}

}  // namespace velmora::devservice
