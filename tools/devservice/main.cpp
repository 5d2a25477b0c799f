// velmora-devservice: a scheduler service to develop and demonstrate host programs against.
// It serves "\\.\pipe\pipe_job" as the library expects, keeps its jobs in memory, logs every
// request, and can be told to misbehave (delay, hang up, a single instance) on purpose.
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "job_table.h"
#include "options.h"
#include "pipe_guard.h"
#include "pipe_server.h"
#include "request_log.h"
#include "wide_text.h"

namespace velmora::devservice {
namespace {

// The answer to a request read after the request limit was reached
// (ERROR_SERVICE_CANNOT_ACCEPT_CTRL): it was not carried out.
constexpr std::int32_t kStatusStopping = 1061;

// The requests the service carries out: the table changes and the log records it under one
// lock, so the log follows the table. With a limit, exactly that many are carried out.
struct Requests {
  const Options& options;
  JobTable& jobs;
  RequestLog& log;
  HANDLE limitReached;
  std::mutex order;
  long carriedOut = 0;

  tools::Answer Serve(const std::string& bytes) {
    const Request request = ParseRequest(bytes.data(), bytes.size());
    std::unique_lock<std::mutex> lock(order);
    if (options.maxRequests > 0 && carriedOut >= options.maxRequests) {
      return {{FormatReply(request.jobId, kStatusStopping, "stopping: request limit reached")}};
    }
    Outcome outcome = jobs.Execute(request);
    if (options.hangUp) outcome.message = "(hung up before replying)";
    SYSTEMTIME now;
    GetSystemTime(&now);
    log.Write(
        {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds},
        request, outcome);
    if (++carriedOut == options.maxRequests) SetEvent(limitReached);
    lock.unlock();
    tools::Answer answer;
    answer.delayMs = options.delayMs;
    answer.hangUp = options.hangUp;
    if (!options.hangUp) {
      answer.messages.push_back(FormatReply(request.jobId, outcome.status, outcome.message));
    }
    return answer;
  }
};

HANDLE gInterrupted = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
  SetEvent(gInterrupted);
  return TRUE;
}

int Refuse(const std::string& message) {
  std::fprintf(stderr, "velmora-devservice: %s\n", message.c_str());
  return 1;
}

// Whether another server answers on the pipe, in words; empty when none does or only we do.
// Once our own instances exist, a pipe whose every instance is busy may be busy with our own
// callers, so then only a client that reaches another process tells.
std::string OtherServer(bool ownInstances) {
  const DWORD process = ServingProcess();
  if (process == 0 || process == GetCurrentProcessId()) return "";
  if (process == kUnknownServer) return ownInstances ? "" : "another server";
  return "another server (process " + std::to_string(process) + ")";
}

}  // namespace
}  // namespace velmora::devservice

int main() {
  using namespace velmora::devservice;
  std::vector<std::string> args;
  Options options;
  std::string error;
  if (!velmora::tools::Utf8Arguments(args, error) || !ParseOptions(args, options, error)) {
    std::fprintf(stderr, "velmora-devservice: %s\n(velmora-devservice --help lists the options)\n",
                 error.c_str());
    return 2;
  }
  if (options.action == Options::Action::kHelp) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (options.action == Options::Action::kVersion) {
    std::printf("velmora-devservice %s\n", VELMORA_VERSION);
    return 0;
  }
  // Wine ignores the pipe's first-instance flag, so ask the pipe itself who serves it.
  if (const std::string other = OtherServer(false); !other.empty()) {
    return Refuse(other + " already serves \\\\.\\pipe\\pipe_job; stop it first");
  }
  RequestLog log;
  if (!options.logFile.empty() && !log.Open(options.logFile, error)) return Refuse(error);

  gInterrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const HANDLE limitReached = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  JobTable jobs(options.jobs);
  Requests requests{options, jobs, log, limitReached, {}, 0};
  velmora::tools::PipeServer server(
      {options.instances, options.clientTimeoutMs, true, PipeSecurity()},
      [&requests](const std::string& request) { return requests.Serve(request); });
  if (!server.Start(error)) return Refuse(error);
  if (const std::string other = OtherServer(true); !other.empty()) {
    return Refuse(other + " also serves \\\\.\\pipe\\pipe_job; stop it first");
  }
  std::printf("velmora-devservice: serving \\\\.\\pipe\\pipe_job with %d instance(s), %d jobs\n",
              options.instances, options.jobs);
  std::fflush(stdout);

  const HANDLE ends[] = {gInterrupted, limitReached};
  // Ctrl+C cuts the clients off; at the request limit the clients already read are answered.
  const bool interrupted = WaitForMultipleObjects(2, ends, FALSE, INFINITE) == WAIT_OBJECT_0;
  server.Stop(!interrupted);
  server.Wait();
  std::printf("velmora-devservice: stopped after %ld requests\n", requests.carriedOut);
  std::fflush(stdout);
  return 0;
}
