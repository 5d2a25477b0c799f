// velmora-devservice: a scheduler service to develop and demonstrate host programs against.
// It serves "\\.\pipe\pipe_job" as the library expects, keeps its jobs in memory, journals
// every request, and misbehaves on purpose where its rules (or --delay, --hangup, --single)
// say so.
#include <windows.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "job_table.h"
#include "journal.h"
#include "journal_check.h"
#include "options.h"
#include "pipe_guard.h"
#include "pipe_server.h"
#include "planner.h"
#include "rules.h"
#include "rules_file.h"
#include "service.h"
#include "wide_text.h"

namespace velmora::devservice {
namespace {

// Console lines held while the console is not read; beyond them, lines are dropped.
constexpr std::size_t kConsoleBacklog = 4096;

HANDLE gInterrupted = nullptr;
HANDLE gStopped = nullptr;
const char* gStoppedBy = nullptr;

// Only the three ways a user stops a console program stop the service; the system's logoff and
// shutdown notices do not.
BOOL WINAPI OnConsoleControl(DWORD event) {
  const char* by = event == CTRL_C_EVENT       ? "Ctrl+C"
                   : event == CTRL_BREAK_EVENT ? "Ctrl+Break"
                   : event == CTRL_CLOSE_EVENT ? "the console window closing"
                                               : nullptr;
  if (by == nullptr) return TRUE;
  if (gStoppedBy == nullptr) gStoppedBy = by;
  SetEvent(gInterrupted);
  // The process ends once this returns from a close: let the stop finish first.
  if (event == CTRL_CLOSE_EVENT) WaitForSingleObject(gStopped, 4000);
  return TRUE;
}

LineSink StandardHandle(DWORD which) {
  // A console that cannot be written to has nowhere to say so.
  return [handle = GetStdHandle(which)](const std::string& line) {
    DWORD written = 0;
    WriteFile(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  };
}

LogTime UtcNow() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

int Refuse(const std::string& message, int code = 1) {
  std::fprintf(stderr, "velmora-devservice: %s\n", message.c_str());
  return code;
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

int Verify(const VerifyOptions& options) {
  std::string journal, report;
  long count = 0;
  const Verdict verdict = ReadTextFile(options.log, journal, report)
                              ? CheckJournal(journal, options, report, &count)
                              : Verdict::kCannotTell;
  if (options.json) {
    std::fputs(VerdictJson(verdict, count, report).c_str(), stdout);
  } else if (verdict == Verdict::kCannotTell) {
    if (!report.empty() && report.back() == '\n') report.pop_back();
    std::fprintf(stderr, "velmora-devservice: %s\n", report.c_str());
  } else {
    std::fputs(report.c_str(), stdout);
  }
  return static_cast<int>(verdict);
}

// The rules at start: from the file, from --fault, or none.
bool StartingRules(const Options& options, RuleSet& rules, std::string& error) {
  if (!options.fault.empty()) return PresetRules(options.fault, rules, error);
  if (options.rulesFile.empty()) return true;
  std::string text;
  if (!ReadTextFile(options.rulesFile, text, error)) return false;
  if (ReadRules(text, rules, error)) return true;
  error = options.rulesFile + ": " + error;
  return false;
}

std::uint64_t SeedFor(const Options& options, const RuleSet& rules) {
  if (options.seed) return *options.seed;
  if (rules.seed) return *rules.seed;
  std::random_device entropy;
  return (std::uint64_t{entropy()} << 32 | entropy()) & 0x7FFFFFFFFFFFFFFF;
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
  switch (options.action) {
    case Options::Action::kHelp:
      std::fputs(UsageText(options.helpForVerify).c_str(), stdout);
      return 0;
    case Options::Action::kVersion:
      std::printf("velmora-devservice %s\n", VELMORA_VERSION);
      return 0;
    case Options::Action::kVerify:
      return Verify(options.verify);
    case Options::Action::kServe:
      break;
  }
  RuleSet rules;
  // Watched, and its time taken, before the file is read: a write at any moment after the
  // read, even before the service is up, is read again.
  RulesWatch watch(options.rulesFile);
  std::uint64_t rulesWritten = options.rulesFile.empty() ? 0 : LastWritten(options.rulesFile);
  if (!StartingRules(options, rules, error)) return Refuse(error, 2);
  // Wine ignores the pipe's first-instance flag, so ask the pipe itself who serves it.
  if (const std::string other = OtherServer(false); !other.empty()) {
    return Refuse(other + " already serves \\\\.\\pipe\\pipe_job; stop it first");
  }
  // Journal lines appended to the rules file would corrupt it.
  if (!options.logFile.empty() && !options.rulesFile.empty() &&
      SameFile(options.logFile, options.rulesFile)) {
    return Refuse("--log " + options.logFile + " is the rules file itself; give another file", 2);
  }
  JournalFile journalFile;
  if (!options.logFile.empty() && !journalFile.Open(options.logFile, error)) return Refuse(error);

  // Nothing that serves a caller ever waits on these three.
  LineWriter console(StandardHandle(STD_OUTPUT_HANDLE), kConsoleBacklog, "velmora-devservice");
  LineWriter errors(StandardHandle(STD_ERROR_HANDLE), kConsoleBacklog, "velmora-devservice");
  JournalKeeper keeper(journalFile, [&errors](std::string line) { errors.Add(std::move(line)); });
  LineWriter journal([&keeper](const std::string& line) { keeper.Write(line); }, 0,
                     "velmora-devservice");

  gInterrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  gStopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const HANDLE limitReached = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  const std::uint64_t seed = SeedFor(options, rules);
  const std::size_t ruleCount = rules.rules.size();
  // No rules until the guard below has looked at the pipe: its look is a caller too.
  Planner planner(RuleSet(), seed, GetTickCount64());
  JobTable jobs(options.jobs);
  ServiceHooks hooks;
  hooks.ticks = [] { return GetTickCount64(); };
  hooks.utc = UtcNow;
  hooks.console = [&console](std::string line) { console.Add(std::move(line)); };
  if (!options.logFile.empty()) {
    hooks.journal = [&journal](std::string line) { journal.Add(std::move(line)); };
  }
  hooks.limitReached = [limitReached] { SetEvent(limitReached); };
  Service service(options, jobs, planner, hooks);
  velmora::tools::PipeServer server(
      {options.instances, options.clientTimeoutMs, true, PipeSecurity()}, service);
  if (!server.Start(error)) return Refuse(error);
  if (const std::string other = OtherServer(true); !other.empty()) {
    return Refuse(other + " also serves \\\\.\\pipe\\pipe_job; stop it first");
  }
  planner.Replace(std::move(rules), seed, GetTickCount64());
  server.Refresh();
  console.Add("velmora-devservice: serving \\\\.\\pipe\\pipe_job with " +
              std::to_string(options.instances) + " instance(s), " + std::to_string(options.jobs) +
              " jobs\n");
  const std::string source = options.fault.empty() ? options.rulesFile : "--fault " + options.fault;
  if (ruleCount > 0) {
    console.Add("velmora-devservice: " + std::to_string(ruleCount) + " rule(s) from " + source +
                ", seed " + std::to_string(seed) + "\n");
  }
  // The journal says which rules judged the requests that follow.
  const auto journalRules = [&](std::size_t count, std::uint64_t inForce, const std::string& why) {
    if (!options.logFile.empty()) journal.Add(RulesLine(UtcNow(), source, count, inForce, why));
  };
  if (!source.empty()) journalRules(ruleCount, seed, "");

  std::vector<HANDLE> ends = {gInterrupted, limitReached};
  if (!options.rulesFile.empty() && watch.Event() != INVALID_HANDLE_VALUE) {
    ends.push_back(watch.Event());
  } else if (!options.rulesFile.empty()) {
    errors.Add("velmora-devservice: cannot watch the folder of " + options.rulesFile + " (error " +
               std::to_string(GetLastError()) + "); changes to it are not read\n");
  }
  DWORD woke = 0;
  while ((woke = WaitForMultipleObjects(static_cast<DWORD>(ends.size()), ends.data(), FALSE,
                                        INFINITE)) == WAIT_OBJECT_0 + 2) {
    watch.Rearm();
    Sleep(50);  // an editor's save may come as several changes
    // Any write of the file itself reloads it, the same bytes included (windows and sequences
    // start afresh); a change to another file in its folder does not.
    const std::uint64_t written = LastWritten(options.rulesFile);
    std::string text;
    RuleSet changed;
    if (written == rulesWritten || !ReadTextFile(options.rulesFile, text, error)) continue;
    rulesWritten = written;
    if (!ReadRules(text, changed, error)) {
      errors.Add("velmora-devservice: " + options.rulesFile + " refused: " + error +
                 "; the rules before it stay\n");
      journalRules(0, 0, error);
      continue;
    }
    const std::uint64_t reseed = options.seed ? *options.seed : changed.seed.value_or(seed);
    const std::size_t count = changed.rules.size();
    planner.Replace(std::move(changed), reseed, GetTickCount64());
    server.Refresh();
    console.Add("velmora-devservice: " + std::to_string(count) + " rule(s) reloaded from " +
                options.rulesFile + ", seed " + std::to_string(reseed) + "\n");
    journalRules(count, reseed, "");
  }
  const bool interrupted = woke == WAIT_OBJECT_0;
  // Callers already connected are answered: those whose request comes now hear 1061.
  service.Stop();
  server.Stop(!interrupted);
  server.Wait();
  console.Add("velmora-devservice: stopped by " +
              std::string(interrupted ? gStoppedBy : "the request limit") + " after " +
              std::to_string(service.CarriedOut()) + " requests\n");
  journal.Close(10000);
  keeper.SayTotal();
  errors.Close(1000);
  console.Close(2000);
  SetEvent(gStopped);
  return 0;
}
