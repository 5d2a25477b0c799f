#include "serve/serve.h"

#include <windows.h>

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "control/control_pipe.h"
#include "journal/writer.h"
#include "rules/rules.h"
#include "rules/rules_file.h"
#include "serve/pipe_guard.h"
#include "serve/serving_stack.h"
#include "sessions/process_tree.h"
#include "sessions/session_table.h"

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
  (void)std::fprintf(stderr, "velmora-devservice: %s\n", message.c_str());
  return code;
}

// The rules at start: from the file, from --fault, or none.
bool StartingRules(const ServeSettings& options, RuleSet& rules, std::string& error) {
  if (!options.fault.empty()) return PresetRules(options.fault, rules, error);
  if (options.rulesFile.empty()) return true;
  std::string text;
  if (!ReadTextFile(options.rulesFile, text, error)) return false;
  if (ReadRules(text, rules, error)) return true;
  error = options.rulesFile + ": " + error;
  return false;
}

// What the journal names as the starting rules' source: the file, --fault, or none.
std::string RulesSource(const ServeSettings& options) {
  return options.fault.empty() ? options.rulesFile : "--fault " + options.fault;
}

std::uint64_t SeedFor(const ServeSettings& options, const RuleSet& rules) {
  if (options.seed) return *options.seed;
  return rules.seed ? *rules.seed : DrawSeed();
}

// The one place the rules in force are replaced, from the file, a control client or a reset:
// each says so on the console and in the journal, and the last one wins.
class RulesInForce {
 public:
  RulesInForce(const ServeSettings& options, ServingStack& stack,
               std::function<void(std::string)> console, std::function<void(std::string)> journal)
      : options_(options),
        stack_(stack),
        console_(std::move(console)),
        journal_(std::move(journal)) {}

  // `source` goes in the journal, `how`, unless empty, on the console ("reloaded from r.json").
  // Returns the seed in use: --seed, else the rules' own, else the one the service started with
  // (`fromStart`: a reset puts that back) or the one before.
  std::uint64_t Replace(RuleSet rules, const std::string& source, const std::string& how,
                        bool fromStart = false) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (options_.seed) {
      seed_ = *options_.seed;
    } else if (rules.seed) {
      seed_ = *rules.seed;
    } else if (fromStart) {
      seed_ = startSeed_;
    }
    count_ = rules.rules.size();
    stack_.Replace(std::move(rules), seed_);
    if (!how.empty()) {
      console_("velmora-devservice: " + std::to_string(count_) + " rule(s) " + how + ", seed " +
               std::to_string(seed_) + "\n");
    }
    journal_(RulesLine(UtcNow(), source, count_, seed_));
    return seed_;
  }
  void Refused(const std::string& source, const std::string& error) {
    journal_(RulesLine(UtcNow(), source, 0, 0, error));
  }
  void StartWith(std::uint64_t seed) { seed_ = startSeed_ = seed; }
  std::size_t Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }
  std::uint64_t Seed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seed_;
  }

 private:
  const ServeSettings& options_;
  ServingStack& stack_;
  std::function<void(std::string)> console_;
  std::function<void(std::string)> journal_;
  mutable std::mutex mutex_;
  std::uint64_t seed_ = 0;
  std::uint64_t startSeed_ = 0;
  std::size_t count_ = 0;
};

// The control pipe's operations on the running service and its sessions.
class ServiceControl : public ControlTarget {
 public:
  ServiceControl(const ServeSettings& options, RulesInForce& rules, Service& service,
                 SessionTable& sessions, MemoryJournal& memory,
                 std::function<void(std::string)> console, std::function<void(std::string)> journal)
      : options_(options),
        rules_(rules),
        service_(service),
        sessions_(sessions),
        memory_(memory),
        console_(std::move(console)),
        journal_(std::move(journal)) {}

  ServiceState State() override {
    return {VELMORA_VERSION, GetCurrentProcessId(), rules_.Count(), rules_.Seed(),
            service_.RequestsRead()};
  }
  std::uint64_t Apply(std::uint64_t session, RuleSet rules) override {
    if (session == 0) {
      return rules_.Replace(std::move(rules), "the control pipe", "applied from the control pipe");
    }
    const std::shared_ptr<Session> held = Held(session);
    if (!held) return 0;
    const std::uint64_t seed = options_.seed ? *options_.seed : rules.seed.value_or(rules_.Seed());
    const std::size_t count = rules.rules.size();
    held->planner.Replace(std::move(rules), seed, GetTickCount64());
    held->rules = count;
    journal_(RulesLine(UtcNow(), "the control pipe", count, seed, "", session));
    return seed;
  }
  bool Reset(std::uint64_t session, bool rules, bool jobs, bool journal,
             std::string& error) override {
    if (session != 0) return ResetSession(session, rules, jobs, journal);
    // Back to the rules the service started with, read afresh: the file's, --fault's, or none.
    // A file that no longer reads resets nothing, so the test hears of it rather than running
    // on with no rules at all.
    RuleSet start;
    if (rules && !StartingRules(options_, start, error)) {
      rules_.Refused(RulesSource(options_), error);
      error += " (nothing was reset)";
      return false;
    }
    service_.Reset(jobs, journal, [&] {
      if (journal) memory_.Clear();
      journal_(ResetLine(UtcNow(), rules, jobs, journal));
    });
    if (!rules) return true;
    const std::string source = RulesSource(options_);
    rules_.Replace(std::move(start), source.empty() ? "a reset" : source,
                   source.empty() ? "after a reset" : "after a reset, from " + source, true);
    return true;
  }
  bool OpenSession(const std::string& name, unsigned long process, ControlConnection& connection,
                   std::string& error) override {
    std::shared_ptr<Session> session = sessions_.Named(name);
    if (!session) {
      const unsigned long pid = process != 0 ? process : connection.pid;
      const std::optional<ProcessIdentity> root = IdentifyProcess(pid);
      if (!root) {
        error = "process " + std::to_string(pid) + " is not running";
        return false;
      }
      session = sessions_.Open(*root, name, options_.jobs, rules_.Seed(), GetTickCount64());
      journal_(SessionLine(UtcNow(), session->id, pid, name, false));
      console_("velmora-devservice: session " + std::to_string(session->id) +
               (name.empty() ? "" : " \"" + name + "\"") + " opened for process " +
               std::to_string(pid) + "\n");
    } else if (process != 0 && process != session->root.pid) {
      error = "session \"" + name + "\" covers process " + std::to_string(session->root.pid) +
              ", not " + std::to_string(process);
      return false;
    }
    connection.session = session->id;
    connection.named = !name.empty();
    return true;
  }
  bool EndSession(std::uint64_t session) override {
    const std::shared_ptr<Session> held = Held(session);
    if (!held || !sessions_.End(session)) return false;
    journal_(SessionLine(UtcNow(), session, held->root.pid, held->name, true));
    console_("velmora-devservice: session " + std::to_string(session) + " ended\n");
    return true;
  }
  std::uint64_t NamedSession(const std::string& name) override {
    const std::shared_ptr<Session> session = sessions_.Named(name);
    return session ? session->id : 0;
  }
  std::uint64_t JournalStart(std::uint64_t session) override {
    const std::shared_ptr<Session> held = session != 0 ? Held(session) : nullptr;
    return held ? held->journalFrom.load() : 1;
  }

 private:
  std::shared_ptr<Session> Held(std::uint64_t session) const { return sessions_.Find(session); }
  bool ResetSession(std::uint64_t session, bool rules, bool jobs, bool journal) {
    const std::shared_ptr<Session> held = Held(session);
    if (!held) return true;
    // A session starts with no rules: a reset puts none back.
    service_.ResetSession(*held, jobs, journal,
                          [&] { journal_(ResetLine(UtcNow(), rules, jobs, journal, session)); });
    if (rules) {
      held->planner.Replace(RuleSet(), held->planner.Seed(), GetTickCount64());
      held->rules = 0;
    }
    return true;
  }

  const ServeSettings& options_;
  RulesInForce& rules_;
  Service& service_;
  SessionTable& sessions_;
  MemoryJournal& memory_;
  std::function<void(std::string)> console_;
  std::function<void(std::string)> journal_;
};

// Any write of the rules file itself reloads it, the same bytes included (windows and
// sequences start afresh); a change to another file in its folder does not. A file that does
// not read leaves the rules before it in force.
void ReloadRulesFile(const std::string& path, std::uint64_t& lastWritten, RulesInForce& inForce,
                     LineWriter& errors) {
  const std::uint64_t written = LastWritten(path);
  std::string text, error;
  RuleSet changed;
  if (written == lastWritten || !ReadTextFile(path, text, error)) return;
  lastWritten = written;
  if (ReadRules(text, changed, error)) {
    inForce.Replace(std::move(changed), path, "reloaded from " + path);
  } else {
    errors.Add("velmora-devservice: " + path + " refused: " + error +
               "; the rules before it stay\n");
    inForce.Refused(path, error);
  }
}

// What the service says once everything is in place; `controlName` empty: no control pipe.
void SayServing(const ServeSettings& options, const RulesInForce& inForce,
                const std::string& source, const std::string& controlName, LineWriter& console) {
  console.Add("velmora-devservice: serving \\\\.\\pipe\\pipe_job with " +
              std::to_string(options.instances) + " instance(s), " + std::to_string(options.jobs) +
              " jobs\n");
  if (inForce.Count() > 0) {
    console.Add("velmora-devservice: " + std::to_string(inForce.Count()) + " rule(s) from " +
                source + ", seed " + std::to_string(inForce.Seed()) + "\n");
  }
  if (!controlName.empty()) console.Add("velmora-devservice: control pipe " + controlName + "\n");
}

}  // namespace

int Serve(const ServeSettings& options) {
  std::string error;
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
  LineWriter journalWriter([&keeper](const std::string& line) { keeper.Write(line); }, 0,
                           "velmora-devservice");
  // The journal is kept in memory for control clients, and in the file when there is one.
  MemoryJournal memory;
  const auto journal = [&](std::string line) {
    memory.Add(line);
    if (!options.logFile.empty()) journalWriter.Add(std::move(line));
  };
  const auto say = [&console](std::string line) { console.Add(std::move(line)); };

  gInterrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  gStopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const HANDLE limitReached = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const HANDLE controlStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  const std::uint64_t seed = SeedFor(options, rules);
  SessionTable sessions;
  ServingStack stack(options, seed,
                     {[] { return GetTickCount64(); }, UtcNow, say, journal,
                      [limitReached] { SetEvent(limitReached); }, RouteToSessions(sessions)});
  if (!stack.Start(error)) return Refuse(error);
  // Everything is in place before the service says it serves: its rules, its control pipe.
  RulesInForce inForce(options, stack, say, journal);
  inForce.StartWith(seed);
  const std::string source = RulesSource(options);
  if (!source.empty()) inForce.Replace(std::move(rules), source, "");
  ServiceControl target(options, inForce, stack.service(), sessions, memory, say, journal);
  ControlPipe control(
      [&](const std::string& line, ControlConnection& connection) {
        return AnswerControl(line, connection, target, memory);
      },
      [&](const ControlConnection& connection) { EndConnection(connection, target); },
      [controlStop] { SetEvent(controlStop); });
  const std::string controlName = ControlPipeName(options.controlPipe);
  if (!options.noControl && !control.Start(controlName, PipeSecurity(), error)) {
    return Refuse(error);
  }
  SayServing(options, inForce, source, options.noControl ? "" : controlName, console);

  std::vector<HANDLE> ends = {gInterrupted, limitReached, controlStop};
  if (!options.rulesFile.empty() && watch.Event() != INVALID_HANDLE_VALUE) {
    ends.push_back(watch.Event());
  } else if (!options.rulesFile.empty()) {
    errors.Add("velmora-devservice: cannot watch the folder of " + options.rulesFile + " (error " +
               std::to_string(GetLastError()) + "); changes to it are not read\n");
  }
  DWORD woke = 0;
  while ((woke = WaitForMultipleObjects(static_cast<DWORD>(ends.size()), ends.data(), FALSE,
                                        INFINITE)) == WAIT_OBJECT_0 + 3) {
    watch.Rearm();
    Sleep(50);  // an editor's save may come as several changes
    ReloadRulesFile(options.rulesFile, rulesWritten, inForce, errors);
  }
  const char* stoppedBy = woke == WAIT_OBJECT_0       ? gStoppedBy
                          : woke == WAIT_OBJECT_0 + 2 ? "the control pipe"
                                                      : "the request limit";
  // Callers already connected are answered: those whose request comes now hear 1061. At the
  // request limit, delayed answers keep their delays.
  stack.Stop(woke == WAIT_OBJECT_0 + 1);
  console.Add("velmora-devservice: stopped by " + std::string(stoppedBy) + " after " +
              std::to_string(stack.service().CarriedOut()) + " requests\n");
  journalWriter.Close(10000);
  keeper.SayTotal();
  errors.Close(1000);
  console.Close(2000);
  SetEvent(gStopped);
  return 0;
}

}  // namespace velmora::devservice
