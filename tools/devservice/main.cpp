// velmora-devservice: a scheduler service to develop and demonstrate host programs against.
// It serves "\\.\pipe\pipe_job" as the library expects, keeps its jobs in memory, logs every
// request, and can be told to misbehave (delay, hang up, a single instance) on purpose.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../common/json_text.h"
#include "job_table.h"
#include "service_protocol.h"

namespace velmora::devservice {
namespace {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\pipe_job";
// Without --instances the service starts this many instances and, whenever fewer than
// kSpareInstances are left listening, adds one, up to kGrowthLimit. Callers arriving together
// then find a listening instance at once instead of racing for one that is freed (a caller that
// loses that race gets ERROR_PIPE_BUSY).
constexpr int kInitialInstances = 8;
constexpr int kSpareInstances = 4;
constexpr int kGrowthLimit = 128;

const char kUsage[] =
    "usage: velmora-devservice [options]\n"
    "Serves \\\\.\\pipe\\pipe_job for Velmora.dll until Ctrl+C.\n"
    "  --instances N     pipe instances (default: added as needed)\n"
    "  --single          one instance, so concurrent callers meet the busy path\n"
    "  --jobs N          jobs 1..N exist at start, idle (default 5)\n"
    "  --delay MS        wait this long before each reply\n"
    "  --hangup          close each connection before replying\n"
    "  --max-requests N  exit after N requests\n"
    "  --log FILE        also append each request to FILE as a JSON line\n";

struct Options {
  int instances = 0;  // 0: grow as needed
  int jobs = 5;
  DWORD delayMs = 0;
  bool hangUp = false;
  long maxRequests = 0;  // 0: no limit
  std::string logFile;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    char* end = nullptr;
    auto number = [&](long minimum, long& value) {
      if (!hasValue) return false;
      value = std::strtol(argv[++i], &end, 10);
      return *end == '\0' && value >= minimum;
    };
    long value = 0;
    if (arg == "--instances" && number(1, value) && value <= PIPE_UNLIMITED_INSTANCES) {
      options.instances = static_cast<int>(value);
    } else if (arg == "--single") {
      options.instances = 1;
    } else if (arg == "--jobs" && number(0, value) && value <= 100000) {
      options.jobs = static_cast<int>(value);
    } else if (arg == "--delay" && number(0, value)) {
      options.delayMs = static_cast<DWORD>(value);
    } else if (arg == "--hangup") {
      options.hangUp = true;
    } else if (arg == "--max-requests" && number(1, value)) {
      options.maxRequests = value;
    } else if (arg == "--log" && hasValue) {
      options.logFile = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

HANDLE gStop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
  SetEvent(gStop);
  return TRUE;
}

class DevService {
 public:
  explicit DevService(const Options& options) : options_(options), jobs_(options.jobs) {}

  int Run() {
    if (!options_.logFile.empty()) {
      log_ = std::fopen(options_.logFile.c_str(), "a");
      if (log_ == nullptr) {
        std::fprintf(stderr, "cannot open %s for appending\n", options_.logFile.c_str());
        return 1;
      }
    }
    const int initial = options_.instances > 0 ? options_.instances : kInitialInstances;
    for (int i = 0; i < initial; ++i) {
      if (!AddInstance(i == 0)) return 1;
    }
    std::printf("velmora-devservice: serving \\\\.\\pipe\\pipe_job with %s, %d jobs%s%s\n",
                options_.instances > 0
                    ? (std::to_string(options_.instances) + " instance(s)").c_str()
                    : "instances added as needed",
                options_.jobs, options_.delayMs > 0 ? ", delaying replies" : "",
                options_.hangUp ? ", hanging up before replies" : "");
    std::fflush(stdout);
    WaitForSingleObject(gStop, INFINITE);
    JoinAll();
    std::printf("velmora-devservice: stopped after %ld requests\n", requests_.load());
    std::fflush(stdout);
    if (log_ != nullptr) std::fclose(log_);
    return 0;
  }

 private:
  bool AddInstance(bool first) {
    const DWORD maxInstances =
        options_.instances > 0 ? static_cast<DWORD>(options_.instances) : PIPE_UNLIMITED_INSTANCES;
    const HANDLE pipe = CreateNamedPipeW(
        kPipeName,
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, maxInstances, kFrameSize, kFrameSize,
        0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (first) {
        std::fprintf(stderr, "cannot create \\\\.\\pipe\\pipe_job (error %lu)%s\n", error,
                     error == ERROR_ACCESS_DENIED ? ": is another service running?" : "");
      }
      return false;
    }
    std::lock_guard<std::mutex> lock(threadsMutex_);
    ++listening_;
    threads_.emplace_back([this, pipe] { Serve(pipe); });
    return true;
  }

  // An instance may still be added while the first ones stop, so join until none is left.
  void JoinAll() {
    for (;;) {
      std::vector<std::thread> threads;
      {
        std::lock_guard<std::mutex> lock(threadsMutex_);
        threads.swap(threads_);
      }
      if (threads.empty()) return;
      for (std::thread& thread : threads) thread.join();
    }
  }

  // Waits for an overlapped operation or for the stop; true when the operation completed.
  bool Await(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD& bytes, DWORD& error) {
    error = started ? 0 : GetLastError();
    if (!started && error != ERROR_IO_PENDING) {
      if (error == ERROR_MORE_DATA) GetOverlappedResult(pipe, &overlapped, &bytes, FALSE);
      return true;
    }
    const HANDLE events[] = {overlapped.hEvent, gStop};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
      CancelIoEx(pipe, &overlapped);
      GetOverlappedResult(pipe, &overlapped, &bytes, TRUE);
      return false;
    }
    error = GetOverlappedResult(pipe, &overlapped, &bytes, FALSE) ? 0 : GetLastError();
    return true;
  }

  enum class Io { kDone, kFailed, kStopped };
  Io Overlapped(HANDLE pipe, bool read, char* buffer, DWORD size, DWORD& bytes) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD error = 0;
    const BOOL started = read ? ReadFile(pipe, buffer, size, nullptr, &overlapped)
                              : WriteFile(pipe, buffer, size, nullptr, &overlapped);
    const bool completed = Await(pipe, overlapped, started, bytes, error);
    CloseHandle(overlapped.hEvent);
    if (!completed) return Io::kStopped;
    return error == 0 || error == ERROR_MORE_DATA ? Io::kDone : Io::kFailed;
  }

  Io AwaitClient(HANDLE pipe) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    DWORD error = 0;
    const bool completed =
        Await(pipe, overlapped, ConnectNamedPipe(pipe, &overlapped), bytes, error);
    CloseHandle(overlapped.hEvent);
    if (!completed) return Io::kStopped;
    return error == 0 || error == ERROR_PIPE_CONNECTED ? Io::kDone : Io::kFailed;
  }

  // One instance: accept a client, take one request frame, answer it, wait for the client to
  // close, and listen again on the same instance.
  void Serve(HANDLE pipe) {
    for (;;) {
      const Io accepted = AwaitClient(pipe);
      if (accepted == Io::kStopped) break;
      if (accepted == Io::kDone) {
        if (--listening_ < kSpareInstances) Grow();
        const bool more = ServeClient(pipe);
        ++listening_;
        if (!more) break;
      }
      DisconnectNamedPipe(pipe);
    }
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
  }

  // With few instances left listening, one more lets the next caller in at once.
  void Grow() {
    if (options_.instances > 0 || WaitForSingleObject(gStop, 0) == WAIT_OBJECT_0) return;
    {
      std::lock_guard<std::mutex> lock(threadsMutex_);
      if (static_cast<int>(threads_.size()) >= kGrowthLimit) return;
    }
    AddInstance(false);
  }

  // False once the service should stop.
  bool ServeClient(HANDLE pipe) {
    char frame[kFrameSize + 1] = {};
    DWORD received = 0;
    const Io read = Overlapped(pipe, true, frame, kFrameSize, received);
    if (read == Io::kStopped) return false;
    if (read == Io::kFailed) return true;  // the client left without a request

    const Request request = ParseRequest(frame, received);
    if (options_.delayMs > 0 && WaitForSingleObject(gStop, options_.delayMs) == WAIT_OBJECT_0) {
      return false;
    }
    Outcome outcome = jobs_.Execute(request);
    if (options_.hangUp) outcome = {outcome.status, "(hung up before replying)"};
    Log(request, outcome);
    if (!options_.hangUp) {
      std::string reply = FormatReply(request.jobId, outcome.status, outcome.message);
      DWORD written = 0;
      if (Overlapped(pipe, false, reply.data(), kFrameSize, written) == Io::kDone) {
        // Disconnecting would discard a reply the client has not read: wait for it to close.
        char rest[kFrameSize];
        DWORD bytes = 0;
        while (Overlapped(pipe, true, rest, sizeof rest, bytes) == Io::kDone) {
        }
      }
    }
    const long served = ++requests_;
    if (options_.maxRequests > 0 && served >= options_.maxRequests) {
      SetEvent(gStop);
      return false;
    }
    return WaitForSingleObject(gStop, 0) != WAIT_OBJECT_0;
  }

  void Log(const Request& request, const Outcome& outcome) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char time[32];
    std::snprintf(time, sizeof time, "%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    const char* name =
        request.wellFormed ? CommandName(request.command, request.jobId) : "malformed";
    std::lock_guard<std::mutex> lock(logMutex_);
    std::printf("%s  job %d  %s (%d)  param %s%s  -> %d %s\n", time + 11, request.jobId, name,
                request.command, tools::JsonString(request.param).c_str(),
                request.cut ? " (cut)" : "", outcome.status, outcome.message.c_str());
    std::fflush(stdout);
    if (log_ != nullptr) {
      std::fprintf(log_,
                   "{\"time\":\"%s\",\"job\":%d,\"command\":\"%s\",\"code\":%d,\"param\":%s,"
                   "\"cut\":%s,\"status\":%d,\"message\":%s}\n",
                   time, request.jobId, name, request.command,
                   tools::JsonString(request.param).c_str(), request.cut ? "true" : "false",
                   outcome.status, tools::JsonString(outcome.message).c_str());
      std::fflush(log_);
    }
  }

  const Options options_;
  JobTable jobs_;
  std::FILE* log_ = nullptr;
  std::mutex logMutex_;
  std::mutex threadsMutex_;
  std::vector<std::thread> threads_;
  std::atomic<int> listening_{0};
  std::atomic<long> requests_{0};
};

}  // namespace
}  // namespace velmora::devservice

int main(int argc, char** argv) {
  using namespace velmora::devservice;
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  gStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  return DevService(options).Run();
}
