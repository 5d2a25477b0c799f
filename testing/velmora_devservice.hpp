// velmora_devservice.hpp: holds velmora-devservice from a C++ test suite (GoogleTest, Catch2,
// doctest) on Windows. Header-only C++17, nothing but the Windows API.
//
//   velmora_testing::DevService service;  // velmora-devservice.exe beside Velmora.dll
//   service.Apply(R"({"rules": [{"match": {"job": 5}, "do": "reply", "status": 1460}]})");
//   EXPECT_EQ(StartJob(5), 1460);
//   EXPECT_TRUE(service.Verify(R"("export": "StartJob", "job": 5, "count": 1)").agrees);
//   service.Reset();
//
// Each call is one line on the service's control pipe and waits for its answer. Apply returns
// once the rules are in force: the host's next call meets them, with no sleep in between. A
// refusal throws ControlError with the service's reason. The destructor stops the service, and
// if the test program itself dies, Windows ends the service with it (a job object).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdlib>
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
  };

  DevService() : DevService(Options()) {}

  // Starts the service and returns once it answers a ping.
  explicit DevService(const Options& options) : pipeName_(L"\\\\.\\pipe\\" + options.control) {
    const std::wstring exe = options.exe.empty() ? BesideTheLibrary() : options.exe;
    std::wstring commandLine = L"\"" + exe + L"\" --control " + options.control;
    if (!options.arguments.empty()) commandLine += L" " + options.arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                        nullptr, nullptr, &startup, &started)) {
      throw ControlError("cannot start " + Narrow(exe) + ": error " +
                         std::to_string(GetLastError()));
    }
    process_ = started.hProcess;
    // Ended with this program however it ends; a program already in a job that forbids
    // nesting goes without, and relies on the destructor.
    job_ = CreateJobObjectW(nullptr, nullptr);
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
      Ping();
    } catch (...) {
      End();
      throw;
    }
  }

  DevService(const DevService&) = delete;
  DevService& operator=(const DevService&) = delete;

  ~DevService() {
    try {
      Stop();
    } catch (...) {
      End();  // no answer: it is ended instead
    }
  }

  // Sends one control line (a JSON object on one line) and returns the answer line; throws
  // ControlError with the service's reason when it is refused.
  std::string Call(std::string line) {
    if (pipe_ == INVALID_HANDLE_VALUE) throw ControlError("the service is stopped");
    for (char& c : line) {
      if (c == '\n' || c == '\r') c = ' ';  // a line end can stand only between JSON tokens
    }
    line += '\n';
    DWORD written = 0;
    if (!WriteFile(pipe_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
      throw ControlError("the control pipe is closed: error " + std::to_string(GetLastError()));
    }
    std::string answer = ReadLine();
    if (answer.rfind("{\"ok\":true", 0) == 0) return answer;
    const std::string error = StringField(answer, "error");
    throw ControlError(error.empty() ? "not understood: " + answer : error);
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

  // The journal's entries numbered `since` or later, as the answer line
  // {"ok":true,"entries":[...],"next":n} for the test's own JSON reader.
  std::string Journal(long long since = 1) {
    return Call(R"({"op":"journal","since":)" + std::to_string(since) + "}");
  }

  // `conditions` are verify's as JSON members: R"("export": "StartJob", "count": 2)".
  VerifyResult Verify(const std::string& conditions) {
    const std::string answer = Call(R"({"op":"verify",)" + conditions + "}");
    VerifyResult result;
    result.agrees = answer.find(R"("agrees":true)") != std::string::npos;
    const std::size_t count = answer.find(R"("count":)");
    if (count != std::string::npos) result.count = std::atoll(answer.c_str() + count + 8);
    result.report = StringField(answer, "report");
    return result;
  }

  // Stops the service and waits for it to end; the destructor does it when not done already.
  void Stop() {
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

 private:
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
                          OPEN_EXISTING, 0, nullptr);
      if (pipe_ != INVALID_HANDLE_VALUE) return;
      const DWORD error = GetLastError();
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) {
        throw ControlError("velmora-devservice did not answer within " + std::to_string(startMs) +
                           " ms (error " + std::to_string(error) + ")");
      }
      if (error == ERROR_PIPE_BUSY) {
        WaitNamedPipeW(pipeName_.c_str(), static_cast<DWORD>(deadline - now));
      } else if (WaitForSingleObject(process_, 20) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        throw ControlError("velmora-devservice exited with " + std::to_string(code) +
                           " before it served " + Narrow(pipeName_));
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
      char chunk[4096];
      DWORD read = 0;
      if (!ReadFile(pipe_, chunk, sizeof chunk, &read, nullptr) || read == 0) {
        throw ControlError("the service closed the control pipe without answering");
      }
      pending_.append(chunk, read);
    }
  }

  // The string member `name` of an answer line, unescaped (\uXXXX as UTF-8); "" when absent.
  static std::string StringField(const std::string& answer, const std::string& name) {
    std::size_t at = answer.find("\"" + name + "\":\"");
    if (at == std::string::npos) return std::string();
    std::string value;
    for (at += name.size() + 4; at < answer.size() && answer[at] != '"'; ++at) {
      if (answer[at] != '\\' || at + 1 >= answer.size()) {
        value += answer[at];
        continue;
      }
      const char escaped = answer[++at];
      if (escaped == 'n') {
        value += '\n';
      } else if (escaped == 't') {
        value += '\t';
      } else if (escaped == 'r') {
        value += '\r';
      } else if (escaped == 'u' && at + 4 < answer.size()) {
        const unsigned long unit = std::strtoul(answer.substr(at + 1, 4).c_str(), nullptr, 16);
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

  void End() {
    if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
    pipe_ = INVALID_HANDLE_VALUE;
    if (process_ != nullptr) {
      if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) TerminateProcess(process_, 1);
      WaitForSingleObject(process_, 10000);
      CloseHandle(process_);
      process_ = nullptr;
    }
    if (job_ != nullptr) CloseHandle(job_);
    job_ = nullptr;
  }

  const std::wstring pipeName_;
  HANDLE process_ = nullptr;
  HANDLE job_ = nullptr;
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
  std::string pending_;  // what the service wrote past the last answer read
};

}  // namespace velmora_testing
