// velmora-devservice: a scheduler service to develop and demonstrate host programs against.
// It serves "\\.\pipe\pipe_job" as the library expects, keeps its jobs in memory, logs every
// request, and can be told to misbehave (delay, hang up, a single instance) on purpose.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "client_session.h"
#include "job_table.h"
#include "options.h"
#include "pipe_guard.h"
#include "pipe_server.h"
#include "request_log.h"
#include "wide_text.h"

namespace {

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
std::string OtherServer() {
  const DWORD process = velmora::devservice::ServingProcess();
  if (process == 0 || process == GetCurrentProcessId()) return "";
  return process == velmora::devservice::kUnknownServer
             ? "another server"
             : "another server (process " + std::to_string(process) + ")";
}

std::string Describe(const velmora::devservice::Options& options) {
  std::string text =
      std::to_string(options.instances) + " instance(s), " + std::to_string(options.jobs) + " jobs";
  if (options.delayMs > 0) text += ", delaying replies";
  if (options.hangUp) text += ", hanging up before replies";
  return text;
}

}  // namespace

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
  if (const std::string other = OtherServer(); !other.empty()) {
    return Refuse(other + " already serves \\\\.\\pipe\\pipe_job; stop it first");
  }
  RequestLog log;
  if (!options.logFile.empty() && !log.Open(options.logFile, error)) return Refuse(error);

  gInterrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const HANDLE limitReached = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  JobTable jobs(options.jobs);
  ClientSessions sessions(options, jobs, log, [limitReached] { SetEvent(limitReached); });
  PipeSecurityAttributes security;
  velmora::tools::PipeServer server(
      {options.instances, options.clientTimeoutMs, true, security.Get()},
      [&sessions](const std::string& request) { return sessions.Serve(request); });
  if (!server.Start(error)) return Refuse(error);
  if (const std::string other = OtherServer(); !other.empty()) {
    return Refuse(other + " also serves \\\\.\\pipe\\pipe_job; stop it first");
  }
  std::printf("velmora-devservice: serving \\\\.\\pipe\\pipe_job with %s\n",
              Describe(options).c_str());
  std::fflush(stdout);

  const HANDLE ends[] = {gInterrupted, limitReached};
  // Ctrl+C cuts the clients off; at the request limit the clients already read are answered.
  const bool interrupted = WaitForMultipleObjects(2, ends, FALSE, INFINITE) == WAIT_OBJECT_0;
  server.Stop(!interrupted);
  server.Wait();
  std::printf("velmora-devservice: stopped after %ld requests\n", sessions.requests());
  std::fflush(stdout);
  return 0;
}
