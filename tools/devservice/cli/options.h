// velmora-devservice's command line, declared with CLI11, apart from any platform call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora::devservice {

// The most instances a named pipe can have.
constexpr int kMaxInstances = 255;

// What `velmora-devservice verify` looks for in a journal.
struct VerifyOptions {
  std::string log;
  std::string exportName, text, rule, action;
  std::optional<std::int32_t> job;
  std::optional<std::int32_t> status;  // the status sent
  std::optional<std::uint64_t> since;  // requests numbered from this on
  bool json = false;                   // the report as one JSON object
  std::optional<long> count;           // exactly this many
  std::optional<long> atLeast;         // this many or more (1 when neither is given)
};

// `velmora-devservice ctl OP`: one operation on a running service's control pipe.
struct ControlOptions {
  std::string pipe;  // --control NAME; empty: the default name
  std::string op;    // ping, apply, reset, journal, verify or stop
  std::string file;  // apply: the rules file, "-" for standard input
  bool keepRules = false, keepJobs = false, keepJournal = false;  // reset
  std::optional<std::uint64_t> since;                             // journal
  bool json = false;     // print the answer line as it came
  VerifyOptions verify;  // verify's conditions (its log and json unused)
};

// velmora-devservice sweep: a host run once per fault at each of its calls.
struct SweepOptions {
  std::uint32_t timeoutS = 30;  // a run's time limit
  std::string faults;           // empty: the default list
  std::string calls;            // empty: every call
  std::string out;              // empty: sweep-YYYYMMDD-HHMMSS
  int jobs = 5;
  std::optional<std::uint64_t> seed;
  std::uint32_t clientTimeoutMs = 3000;
  std::optional<std::size_t> maxRuns;  // none: kDefaultMaxRuns, unless --calls chose the calls
  bool force = false;                  // replace an earlier sweep in --out
  std::vector<std::string> host;       // the program and its arguments
};

struct Options {
  enum class Action { kServe, kVerify, kControl, kSweep, kHelp, kVersion };
  Action action = Action::kServe;
  int instances = kMaxInstances;
  int jobs = 5;
  std::uint32_t delayMs = 0;
  // How long a client may take to send its whole request, and to close once it has the reply.
  std::uint32_t clientTimeoutMs = 3000;
  bool hangUp = false;
  long maxRequests = 0;  // 0: no limit
  std::string logFile;
  std::string rulesFile;  // UTF-8
  std::string fault;      // a preset rule instead of a file
  std::optional<std::uint64_t> seed;
  std::string controlPipe;  // --control NAME; empty: the default name
  bool noControl = false;
  VerifyOptions verify;
  ControlOptions control;
  SweepOptions sweep;
  std::string helpFor;  // the subcommand whose --help was asked for ("verify", "ctl apply")
};

// Reads the arguments after the program name, UTF-8 (a log file's name may hold any
// character). On a mistake returns false and says in `error` which argument is wrong and what
// it takes.
bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

// The help, made from the same declaration: the service's, or a subcommand's ("ctl apply").
std::string UsageText(const std::string& subcommand = "");

}  // namespace velmora::devservice
