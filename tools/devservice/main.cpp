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
#include "pipe_server.h"
#include "request_log.h"

namespace {

HANDLE gStop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
  SetEvent(gStop);
  return TRUE;
}

std::string Describe(const velmora::devservice::Options& options) {
  std::string text = options.instances > 0 ? std::to_string(options.instances) + " instance(s)"
                                           : std::string("instances added as needed");
  text += ", " + std::to_string(options.jobs) + " jobs";
  if (options.delayMs > 0) text += ", delaying replies";
  if (options.hangUp) text += ", hanging up before replies";
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velmora::devservice;
  Options options;
  std::string error;
  if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::fprintf(stderr, "velmora-devservice: %s\n(velmora-devservice --help lists the options)\n",
                 error.c_str());
    return 2;
  }
  if (options.action == Options::Action::kHelp) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (options.action == Options::Action::kVersion) {
    std::printf("velmora-devservice %s\n", VELMORA_VERSION);
    return 0;
  }
  // The pipe's first-instance flag keeps a second service off the name on Windows; the mutex
  // does so wherever that flag is not honoured.
  const HANDLE guard = CreateMutexW(nullptr, FALSE, L"Global\\velmora-devservice-pipe_job");
  if (guard == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
    std::fputs(
        "velmora-devservice: another development service is already serving "
        "\\\\.\\pipe\\pipe_job; stop it first\n",
        stderr);
    return 1;
  }
  RequestLog log;
  if (!options.logFile.empty() && !log.Open(options.logFile, error)) {
    std::fprintf(stderr, "velmora-devservice: %s\n", error.c_str());
    return 1;
  }
  gStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);

  JobTable jobs(options.jobs);
  ClientSessions sessions(options, jobs, log, gStop);
  PipeServer server(options.instances, gStop,
                    [&sessions](HANDLE pipe) { return sessions.Serve(pipe); });
  if (!server.Start()) {
    SetEvent(gStop);
    server.Join();
    return 1;
  }
  std::printf("velmora-devservice: serving \\\\.\\pipe\\pipe_job with %s\n",
              Describe(options).c_str());
  std::fflush(stdout);
  WaitForSingleObject(gStop, INFINITE);
  server.Join();
  std::printf("velmora-devservice: stopped after %ld requests\n", sessions.requests());
  std::fflush(stdout);
  CloseHandle(guard);
  return 0;
}
