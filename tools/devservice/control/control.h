// The control pipe's protocol, as plain code: a test suite sends JSON lines, one object each,
// and gets one answer line per line, on a connection kept as long as it likes.
//
//   {"op":"ping"}                      ->
//   {"ok":true,"version":..,"pid":..,"rules":..,"seed":..,"requests":..}
//   {"op":"apply","rules":{...}}       -> {"ok":true,"rules":n,"seed":n}, once they are in force
//   {"op":"reset"[,"rules":b,"jobs":b,"journal":b]}  -> {"ok":true}
//   {"op":"journal"[,"since":n]}       -> {"ok":true,"entries":[...],"next":n}: from request n
//   {"op":"verify", conditions...}     -> {"ok":true,"count":n,"agrees":b,"report":".."}
//   {"op":"stop"}                      -> {"ok":true}, then the service stops
//   {"op":"session"[,"process":pid][,"name":".."]}  -> {"ok":true,"session":n}
//   {"op":"end"[,"name":".."]}         -> {"ok":true,"session":n}
//
// After "session", apply, reset, journal and verify on that connection act on the session's own
// rules, jobs and journal. A session without a name ends when its connection closes.
//
// Anything else is answered {"ok":false,"error":"..."}; a line past kMaxControlLine also ends
// the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "journal/memory_journal.h"
#include "journal/verify.h"
#include "rules/rules.h"

namespace velmora::devservice {

// `velmora-devservice ctl OP`: one operation on a running service's control pipe.
struct ControlOptions {
  std::string pipe;  // --control NAME; empty: the default name
  std::string op;    // ping, apply, reset, journal, verify or stop
  std::string file;  // apply: the rules file, "-" for standard input
  bool keepRules = false, keepJobs = false, keepJournal = false;  // reset
  std::optional<std::uint64_t> since;                             // journal
  std::string session;        // --session NAME: the op acts on that named session
  unsigned long process = 0;  // --process PID: whom a session opened by --session covers
  bool json = false;          // print the answer line as it came
  VerifyConditions verify;    // verify's conditions
};

constexpr std::size_t kMaxControlLine = std::size_t{1} << 20;

// Cuts a connection's bytes into lines (LF, or CR LF).
class LineSplitter {
 public:
  // Adds what was read; each complete line goes to `lines`. False once the line under way is
  // longer than kMaxControlLine: the connection is then answered an error and closed.
  bool Add(std::string_view bytes, std::vector<std::string>& lines);
  // Whether part of a line has come without its end.
  bool Midline() const { return !partial_.empty(); }

 private:
  std::string partial_;
};

struct ServiceState {
  std::string version;
  unsigned long pid = 0;
  std::size_t rules = 0;
  std::uint64_t seed = 0;
  std::uint64_t requests = 0;  // read since the start or the last reset
};

// One control connection: the process on its other end, and the session it acts on.
struct ControlConnection {
  unsigned long pid = 0;
  std::uint64_t session = 0;  // 0: the service's own rules, jobs and journal
  bool named = false;         // the session outlives the connection
};

// What the operations act on: the running service, or a fake in the tests. `session` 0 is the
// service's own.
class ControlTarget {
 public:
  virtual ~ControlTarget() = default;
  virtual ServiceState State() = 0;
  // Puts `rules` in force before it returns: the next request read is judged by them. Returns
  // the seed in use.
  virtual std::uint64_t Apply(std::uint64_t session, RuleSet rules) = 0;
  // rules: back to none, or to the rules file's; jobs: every job idle; journal: the memory
  // journal emptied and the request numbering restarted (a session's journal starts afresh).
  // Windows and sequences start afresh. False, with the reason, when the starting rules cannot
  // be read again: nothing is reset.
  virtual bool Reset(std::uint64_t session, bool rules, bool jobs, bool journal,
                     std::string& error) = 0;
  // A session for `process` (0: the connection's own) or, with a `name`, the one of that name,
  // opened if there is none; the connection acts on it from here on. False, with the reason,
  // when the process is not running.
  virtual bool OpenSession(const std::string& name, unsigned long process,
                           ControlConnection& connection, std::string& error) = 0;
  // Its rules, jobs and journal go; false when it is not open (any more).
  virtual bool EndSession(std::uint64_t session) = 0;
  // The session of that name; 0: none.
  virtual std::uint64_t NamedSession(const std::string& name) = 0;
  // The first request number of the session's journal (1 for the service's own).
  virtual std::uint64_t JournalStart(std::uint64_t session) = 0;
};

struct ControlAnswer {
  std::string line;   // the answer, without its LF
  bool stop = false;  // once it is written, the service stops as on Ctrl+C
};

// The operations, in the order ctl lists them, and their names as a list ("ping, apply, ...").
struct ControlOpInfo {
  const char* name;
  const char* summary;
};
std::vector<ControlOpInfo> ControlOps();
std::string ControlOpNames();

ControlAnswer AnswerControl(const std::string& line, ControlConnection& connection,
                            ControlTarget& target, const MemoryJournal& journal);
// A connection has closed: its session ends unless it is named.
void EndConnection(const ControlConnection& connection, ControlTarget& target);

// The line `ctl --session NAME` sends before its op.
std::string SessionRequest(const ControlOptions& options);

// The answer to a line past kMaxControlLine.
std::string LineTooLongAnswer();

// `ctl`'s side. The line to send for the operation, `rulesText` being apply's file; false, with
// the reason, when the file is not one JSON object or the conditions are not understood.
bool ControlRequest(const ControlOptions& options, const std::string& rulesText, std::string& line,
                    std::string& error);

struct ControlOutcome {
  int exitCode =
      2;            // 0 done (verify: agrees), 1 refused (verify: does not agree), 2 not understood
  std::string out;  // for standard output
  std::string err;  // for standard error
};
// What `ctl` prints and exits with for the service's answer line.
ControlOutcome ReadControlAnswer(const ControlOptions& options, const std::string& answer);

}  // namespace velmora::devservice
