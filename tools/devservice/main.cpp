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
  if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  RequestLog log;
  if (!options.logFile.empty() && !log.Open(options.logFile)) {
    std::fprintf(stderr, "cannot open %s for appending\n", options.logFile.c_str());
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
  return 0;
}
