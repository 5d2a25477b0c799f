// velmora_devservice.hpp: holds velmora-devservice from a C++ test suite (GoogleTest, Catch2,
// doctest) on Windows. Header-only C++17, nothing but the Windows API.
//
//   velmora_testing::DevService service;  // velmora-devservice.exe beside Velmora.dll
//   service.Apply(R"({"rules": [{"match": {"job": 5}, "do": "reply", "status": 1460}]})");
//   EXPECT_EQ(StartJob(5), 1460);
//   EXPECT_TRUE(service.Verify(R"("export": "StartJob", "job": 5, "count": 1)").agrees);
//   service.Reset();
//
// Each call is one line on the service's control pipe and waits for its answer, at most
// Options::answerMs. Apply returns once the rules are in force: the host's next call meets them,
// with no sleep in between. A refusal throws ControlError with the service's reason. The
// destructor stops the service, and if the test program itself dies, Windows ends the service
// with it (a job object). The service's console goes to a file in the temporary folder
// (ConsolePath(), named in every failure), or to the test's own output on request.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

namespace velmora_testing {

class ControlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct VerifyResult {
  bool agrees = false;
  long long count = 0;
  std::string report;  // what the service found, as `velmora-devservice verify` prints it
};

class DevService {
 public:
  struct Options {
    std::wstring exe;  // empty: velmora-devservice.exe in the folder of the loaded Velmora.dll
    std::wstring arguments;  // the service's other options, L"--jobs 10 --rules start.json"
    std::wstring control = L"velmora-devservice";  // the control pipe's name, under \\.\pipe\ .
    DWORD startMs = 10000;                         // how long the service may take to answer
    DWORD answerMs = 30000;                        // how long one answer may take
    bool consoleToTestOutput = false;  // the service's console in the test's output, not a file
    // The service outlives this object and this program, for other test processes (Shared).
    bool leaveRunning = false;
  };

  DevService() : DevService(Options()) {}

  // Starts the service and returns once it answers a ping.
  explicit DevService(const Options& options)
      : pipeName_(L"\\\\.\\pipe\\" + options.control),
        answerMs_(options.answerMs),
        owner_(!options.leaveRunning) {
    const std::wstring exe = options.exe.empty() ? BesideTheLibrary() : options.exe;
    std::wstring commandLine = L"\"" + exe + L"\" --control \"" + options.control + L"\"";
    if (!options.arguments.empty()) commandLine += L" " + options.arguments;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup.StartupInfo;
    HANDLE console = INVALID_HANDLE_VALUE;
    if (!options.consoleToTestOutput) {
      console = OpenConsoleFile();
      startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
      startup.StartupInfo.hStdInput = nullptr;
      startup.StartupInfo.hStdOutput = startup.StartupInfo.hStdError = console;
    }
    // The service inherits its console file alone: a handle of the test's own (the pipe a test
    // runner reads its output from) held by a service that outlives the test would keep the
    // runner waiting for the end of that output.
    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::string list(listSize, '\0');
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(&list[0]);
    const bool inheritOne =
        console != INVALID_HANDLE_VALUE && listSize > 0 &&
        InitializeProcThreadAttributeList(attributes, 1, 0, &listSize) &&
        UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &console,
                                  sizeof console, nullptr, nullptr);
    if (inheritOne) {
      startup.StartupInfo.cb = sizeof startup;
      startup.lpAttributeList = attributes;
    }
    PROCESS_INFORMATION started{};
    const auto start = [&](DWORD flags) {
      return CreateProcessW(
          exe.c_str(), &commandLine[0], nullptr, nullptr, console != INVALID_HANDLE_VALUE,
          CREATE_SUSPENDED | flags | (inheritOne ? EXTENDED_STARTUPINFO_PRESENT : 0), nullptr,
          nullptr, &startup.StartupInfo, &started);
    };
    // A service left running leaves the test runner's job too, where the job allows it.
    BOOL made = options.leaveRunning && start(CREATE_BREAKAWAY_FROM_JOB);
    if (!made) made = start(0);
    if (inheritOne) DeleteProcThreadAttributeList(attributes);
    const DWORD error = GetLastError();
    if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
    if (!made)
      throw ControlError("cannot start " + Narrow(exe) + ": error " + std::to_string(error));
    process_ = started.hProcess;
    // Ended with this program however it ends; a program already in a job that forbids
    // nesting goes without, and relies on the destructor.
    job_ = options.leaveRunning ? nullptr : CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job_ != nullptr) {
      SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits);
      AssignProcessToJobObject(job_, process_);
    }
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);
    try {
      Connect(options.startMs);
      // Another service may hold the name: this one then exits, and its holder's answers
      // must not be taken for its own.
      const std::string pid = JsonMember(Ping(), "pid");
      if (pid != std::to_string(GetProcessId(process_))) {
        throw ControlError("another velmora-devservice (process " + pid + ") answers on " +
                           Narrow(pipeName_) + ": give this one a control name of its own" +
                           ConsoleNote());
      }
    } catch (...) {
      if (!owner_) TerminateProcess(process_, 1);  // a failed start is never left running
      End();
      throw;
    }
  }

  DevService(const DevService&) = delete;
  DevService& operator=(const DevService&) = delete;

  ~DevService() {
    if (!owner_) {
      End();  // a session's connection: closing it ends the session
      return;
    }
    try {
      Stop();
    } catch (...) {
      End();  // no answer: it is ended instead
    }
  }

  // The service on `options.control` that the test processes of a suite share, one test a
  // process (ctest -j, sharding) included: connected to when one answers, else started, by one
  // process while the others wait for it, and left running for the others. Each test then takes
  // a Session() of its own; `velmora-devservice ctl --control NAME stop` ends it after the suite.
  static std::unique_ptr<DevService> Shared() { return Shared(Options()); }
  static std::unique_ptr<DevService> Shared(Options options) {
    const std::wstring mutexName = L"Local\\velmora-devservice-start-" + options.control;
    const HANDLE starting = CreateMutexW(nullptr, FALSE, mutexName.c_str());
    if (starting == nullptr) {
      throw ControlError("cannot make the mutex " + Narrow(mutexName) + ": error " +
                         std::to_string(GetLastError()));
    }
    // An abandoned mutex is taken too: its holder died, and the pipe is asked again below.
    const DWORD waited = WaitForSingleObject(starting, options.startMs + options.answerMs);
    const bool held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    struct Release {
      HANDLE mutex;
      bool held;
      ~Release() {
        if (held) ReleaseMutex(mutex);
        CloseHandle(mutex);
      }
    } release{starting, held};
    if (!held) throw ControlError("another test process took too long to start the service");
    const std::wstring pipeName = L"\\\\.\\pipe\\" + options.control;
    const HANDLE probe = CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    const DWORD error = probe == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
    if (error == ERROR_SUCCESS || error == ERROR_PIPE_BUSY) {
      std::unique_ptr<DevService> running(new DevService(pipeName, options.answerMs));
      running->Ping();  // a control pipe that answers as the service does
      return running;
    }
    options.leaveRunning = true;
    options.consoleToTestOutput = false;  // the test's output ends before the service does
    return std::unique_ptr<DevService>(new DevService(options));
  }

  // A session on this service, on a connection of its own: its Apply, Reset, Journal and Verify
  // act on rules, jobs and a journal of its own, which requests from `process` (0: this
  // program) and from every process it starts meet, whatever other tests do meanwhile. It ends
  // with the object. busy and absent act on the whole pipe and are refused in a session.
  std::unique_ptr<DevService> Session(DWORD process = 0) {
    std::unique_ptr<DevService> session(new DevService(pipeName_, answerMs_));
    const std::string answer = session->Call(process == 0 ? std::string(R"({"op":"session"})")
                                                          : R"({"op":"session","process":)" +
                                                                std::to_string(process) + "}");
    session->session_ = std::atoll(JsonMember(answer, "session").c_str());
    return session;
  }
  // The session's number, as the journal's lines name it; 0 for the service itself.
  long long SessionId() const { return session_; }

  // Sends one control line (a JSON object on one line) and returns the answer line; throws
  // ControlError with the service's reason when it is refused.
  std::string Call(std::string line) {
    if (pipe_ == INVALID_HANDLE_VALUE) throw ControlError("the service is stopped");
    for (char& c : line) {
      if (c == '\n' || c == '\r') c = ' ';  // a line end can stand only between JSON tokens
    }
    line += '\n';
    Transfer(true, &line[0], static_cast<DWORD>(line.size()));
    std::string answer = ReadLine();
    const std::string ok = JsonMember(answer, "ok");
    if (ok == "true") return answer;
    const std::string error = JsonString(JsonMember(answer, "error"));
    throw ControlError(ok != "false" || error.empty() ? "not understood: " + answer.substr(0, 200)
                                                      : error);
  }

  std::string Ping() { return Call(R"({"op":"ping"})"); }

  // `rulesJson` is a rules file's content; returns once the rules are in force.
  std::string Apply(const std::string& rulesJson) {
    return Call(R"({"op":"apply","rules":)" + rulesJson + "}");
  }

  // Rules as the service started with, every job idle, the journal emptied and numbered afresh.
  void Reset(bool rules = true, bool jobs = true, bool journal = true) {
    Call(std::string(R"({"op":"reset","rules":)") + Flag(rules) + R"(,"jobs":)" + Flag(jobs) +
         R"(,"journal":)" + Flag(journal) + "}");
  }

  // The journal's lines from request `since` on, as the answer line
  // {"ok":true,"entries":[...],"next":n} for the test's own JSON reader.
  std::string Journal(long long since = 1) {
    return Call(R"({"op":"journal","since":)" + std::to_string(since) + "}");
  }

  // `conditions` are verify's as JSON members: R"("export": "StartJob", "count": 2)".
  VerifyResult Verify(const std::string& conditions) {
    const std::string answer = Call(R"({"op":"verify",)" + conditions + "}");
    VerifyResult result;
    result.agrees = JsonMember(answer, "agrees") == "true";
    result.count = std::atoll(JsonMember(answer, "count").c_str());
    result.report = JsonString(JsonMember(answer, "report"));
    return result;
  }

  // Stops the service and waits for it to end; the destructor does it when not done already.
  void Stop() {
    if (!owner_) {
      End();
      return;
    }
    if (pipe_ != INVALID_HANDLE_VALUE) {
      Call(R"({"op":"stop"})");
      CloseHandle(pipe_);
      pipe_ = INVALID_HANDLE_VALUE;
    }
    if (process_ != nullptr && WaitForSingleObject(process_, 10000) != WAIT_OBJECT_0) {
      End();
      throw ControlError("the service did not stop within 10 s: it was ended");
    }
    End();
  }

  DWORD ProcessId() const { return process_ == nullptr ? 0 : GetProcessId(process_); }

  // Where the service's console goes; empty when it goes to the test's output.
  const std::wstring& ConsolePath() const { return consolePath_; }

  // The raw text of the top-level member `name` of a JSON object on one line ("true", "12",
  // "\"text\"", "{...}"), whatever the order of its members; "" when it has none.
  static std::string JsonMember(const std::string& object, const std::string& name) {
    std::size_t at = object.find('{');
    if (at == std::string::npos) return std::string();
    for (++at;;) {
      at = object.find_first_not_of(" \t", at);
      if (at == std::string::npos || object[at] != '"') return std::string();
      const std::size_t keyEnd = SkipValue(object, at);
      const std::string key = JsonString(object.substr(at, keyEnd - at));
      const std::size_t value = object.find_first_not_of(" \t:", keyEnd);
      if (value == std::string::npos) return std::string();
      const std::size_t valueEnd = SkipValue(object, value);
      if (key == name) return object.substr(value, valueEnd - value);
      at = object.find_first_not_of(" \t", valueEnd);
      if (at == std::string::npos || object[at] != ',') return std::string();
      ++at;
    }
  }

  // A JSON string token unescaped (\uXXXX as UTF-8); "" when it is no string.
  static std::string JsonString(const std::string& token) {
    if (token.size() < 2 || token.front() != '"') return std::string();
    std::string value;
    for (std::size_t at = 1; at + 1 < token.size(); ++at) {
      if (token[at] != '\\') {
        value += token[at];
        continue;
      }
      const char escaped = token[++at];
      if (escaped == 'n') {
        value += '\n';
      } else if (escaped == 't') {
        value += '\t';
      } else if (escaped == 'r') {
        value += '\r';
      } else if (escaped == 'u' && at + 4 < token.size()) {
        const unsigned long unit = std::strtoul(token.substr(at + 1, 4).c_str(), nullptr, 16);
        at += 4;
        if (unit < 0x80) {
          value += static_cast<char>(unit);
        } else if (unit < 0x800) {
          value += static_cast<char>(0xC0 | (unit >> 6));
          value += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
          value += static_cast<char>(0xE0 | (unit >> 12));
          value += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
          value += static_cast<char>(0x80 | (unit & 0x3F));
        }
      } else {
        value += escaped;  // \" \\ \/
      }
    }
    return value;
  }

 private:
  // A further connection to a running service, which it does not own.
  DevService(const std::wstring& pipeName, DWORD answerMs)
      : pipeName_(pipeName), answerMs_(answerMs), owner_(false) {
    Connect(answerMs);
  }

  // The longest answer line read: the whole memory journal fits.
  static constexpr std::size_t kMaxAnswer = std::size_t{256} << 20;

  // Where a value (string, number, literal, object or list) starting at `at` ends.
  static std::size_t SkipValue(const std::string& text, std::size_t at) {
    int depth = 0;
    bool inString = false;
    for (; at < text.size(); ++at) {
      const char c = text[at];
      if (inString) {
        if (c == '\\') {
          ++at;
        } else if (c == '"') {
          inString = false;
          if (depth == 0) return at + 1;
        }
      } else if (c == '"') {
        inString = true;
      } else if (c == '{' || c == '[') {
        ++depth;
      } else if (c == '}' || c == ']') {
        if (depth == 0) return at;
        if (--depth == 0) return at + 1;
      } else if (depth == 0 && (c == ',' || c == ' ')) {
        return at;
      }
    }
    return at;
  }

  // A new file in the temporary folder for the service's console, inherited by it alone.
  HANDLE OpenConsoleFile() {
    static std::atomic<unsigned> made{0};
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    consolePath_ = std::wstring(folder, length > MAX_PATH ? 0 : length) + L"velmora-devservice-" +
                   std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++made) +
                   L".log";
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    const HANDLE file =
        CreateFileW(consolePath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherited, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      throw ControlError("cannot write the service's console to " + Narrow(consolePath_) +
                         ": error " + std::to_string(GetLastError()));
    }
    return file;
  }

  std::string ConsoleNote() const {
    return consolePath_.empty() ? std::string() : " (its console: " + Narrow(consolePath_) + ")";
  }

  // One write or read on the control pipe, at most answerMs_ long; the bytes moved.
  DWORD Transfer(bool write, char* bytes, DWORD size) {
    OVERLAPPED io{};
    io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (io.hEvent == nullptr)
      throw ControlError("no event: error " + std::to_string(GetLastError()));
    DWORD moved = 0;
    const BOOL done = write ? WriteFile(pipe_, bytes, size, &moved, &io)
                            : ReadFile(pipe_, bytes, size, &moved, &io);
    DWORD error = done ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_IO_PENDING) {
      if (WaitForSingleObject(io.hEvent, answerMs_) != WAIT_OBJECT_0) {
        CancelIoEx(pipe_, &io);
        GetOverlappedResult(pipe_, &io, &moved, TRUE);
        CloseHandle(io.hEvent);
        throw ControlError("the service did not answer within " + std::to_string(answerMs_) +
                           " ms" + ConsoleNote());
      }
      error = GetOverlappedResult(pipe_, &io, &moved, FALSE) ? ERROR_SUCCESS : GetLastError();
    }
    CloseHandle(io.hEvent);
    if (error == ERROR_SUCCESS && (write || moved > 0)) return moved;
    throw ControlError(write ? "the control pipe is closed: error " + std::to_string(error)
                             : "the service closed the control pipe without answering" +
                                   ConsoleNote());
  }

  static const char* Flag(bool value) { return value ? "true" : "false"; }

  static std::wstring BesideTheLibrary() {
    const HMODULE library = GetModuleHandleW(L"Velmora.dll");
    wchar_t path[MAX_PATH];
    const DWORD length = library == nullptr ? 0 : GetModuleFileNameW(library, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH) {
      throw ControlError("Velmora.dll is not loaded: give the path of velmora-devservice.exe");
    }
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1) + L"velmora-devservice.exe";
  }

  static std::string Narrow(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string narrow(size > 0 ? size : 0, '\0');
    if (size > 0) {
      WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &narrow[0], size,
                          nullptr, nullptr);
    }
    return narrow;
  }

  // The pipe appears once the service is ready; until then the wait is on the process, so a
  // service that exits at once (a bad option) is reported at once.
  void Connect(DWORD startMs) {
    const ULONGLONG deadline = GetTickCount64() + startMs;
    for (;;) {
      pipe_ = CreateFileW(pipeName_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
      if (pipe_ != INVALID_HANDLE_VALUE) return;
      const DWORD error = GetLastError();
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) {
        throw ControlError("velmora-devservice did not answer within " + std::to_string(startMs) +
                           " ms (error " + std::to_string(error) + ")" + ConsoleNote());
      }
      if (error == ERROR_PIPE_BUSY) {
        WaitNamedPipeW(pipeName_.c_str(), static_cast<DWORD>(deadline - now));
      } else if (process_ == nullptr) {
        Sleep(20);
      } else if (WaitForSingleObject(process_, 20) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        throw ControlError("velmora-devservice exited with " + std::to_string(code) +
                           " before it served " + Narrow(pipeName_) + ConsoleNote());
      }
    }
  }

  std::string ReadLine() {
    for (;;) {
      const std::size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      if (pending_.size() > kMaxAnswer) {
        throw ControlError("the service's answer runs past " + std::to_string(kMaxAnswer) +
                           " bytes without a line end");
      }
      char chunk[65536];
      pending_.append(chunk, Transfer(false, chunk, sizeof chunk));
    }
  }

  void End() {
    if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
    pipe_ = INVALID_HANDLE_VALUE;
    if (process_ != nullptr) {
      if (owner_ && WaitForSingleObject(process_, 0) != WAIT_OBJECT_0)
        TerminateProcess(process_, 1);
      if (owner_) WaitForSingleObject(process_, 10000);
      CloseHandle(process_);
      process_ = nullptr;
    }
    if (job_ != nullptr) CloseHandle(job_);
    job_ = nullptr;
  }

  const std::wstring pipeName_;
  const DWORD answerMs_;
  const bool owner_ = true;  // it started the service, and stops it
  long long session_ = 0;
  std::wstring consolePath_;
  HANDLE process_ = nullptr;
  HANDLE job_ = nullptr;
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
  std::string pending_;  // what the service wrote past the last answer read
};

}  // namespace velmora_testing
