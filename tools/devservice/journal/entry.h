// The development service's record of each request: a line on the console and, with --log, a
// JSON line in the journal, written when the request is read, before it is answered; a second
// journal line follows with how the answer went. The lines are made apart from any platform
// call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "frames/service_protocol.h"
#include "pipe_service.h"

namespace velmora::devservice {

// The time (UTC) a request was read.
struct LogTime {
  int year, month, day, hour, minute, second, millisecond;
};

// Who took a request and how it is answered.
struct Decision {
  std::string rule;                    // empty: no rule took it
  std::size_t step = 0;                // from 1, when a rule took it
  std::string action;                  // "reply", "partial", ...: a rule's action
  std::optional<std::int32_t> status;  // the status in the reply, when one is sent
  std::string message;
  std::uint64_t session = 0;  // whose rules and jobs: 0 the service's own, else a session's
};

// "12:00:01.250Z  #3  job 5  StartJob (1279)  param \"\"  -> 0 started"; a malformed request
// shows the bytes received instead of a param, a rule's answer its rule, step and action; a
// caller hung up on before its request was read has no request.
std::string ConsoleLine(std::uint64_t seq, const LogTime& time, const Request* request,
                        const Decision& decision);
// {"seq":3,"event":"request","time":"2026-12-08T12:00:01.250Z","seed":7,"job":5,...}: the time
// in RFC 3339, the request's text as the host's code page reads it (DecodeAnsi).
std::string JsonLine(std::uint64_t seq, std::uint64_t seed, const LogTime& time,
                     const Request* request, const Decision& decision);
// Every line but the pipe's ends with "session": the session whose request or rules it is, or
// null for the service's own.
//
// {"seq":3,"event":"outcome","written":1024,"left_early":false,"ms":12,"session":null}
std::string OutcomeLine(std::uint64_t seq, const tools::Delivery& delivery,
                        std::uint64_t session = 0);
// {"seq":3,"event":"pattern","time":"...","rule":"slow","note":"..."}: the rule's pattern gave up
// on request 3's text, which it counted as no match. Said for the first such request of a rule.
std::string PatternBoundLine(std::uint64_t seq, const LogTime& time, const std::string& rule,
                             std::uint64_t session = 0);
// The same for the console.
std::string PatternBoundConsoleLine(std::uint64_t seq, const std::string& rule);
// {"event":"rules","time":"...","source":"r.json","rules":3,"seed":7}: new rules in force from
// here on; with an `error`, {"event":"rules refused",...,"error":"line 2: ..."}, the old stay.
std::string RulesLine(const LogTime& time, const std::string& source, std::size_t rules,
                      std::uint64_t seed, const std::string& error = "", std::uint64_t session = 0);
// {"event":"reset","time":"...","rules":true,"jobs":true,"journal":true}: what a control client
// reset; with "journal" outside a session, the requests after it are numbered from 1 again.
std::string ResetLine(const LogTime& time, bool rules, bool jobs, bool journal,
                      std::uint64_t session = 0);
// {"event":"session","time":"...","session":2,"process":4120,"name":null,"ended":false}
std::string SessionLine(const LogTime& time, std::uint64_t session, unsigned long process,
                        const std::string& name, bool ended);
// {"event":"pipe","time":"...","state":"busy"}: the pipe became busy, absent or serving again.
std::string PipeStateLine(const LogTime& time, const char* state);

// A journal line read back, by the one reader that every reader of the journal uses (verify,
// the sweep, the journal file's keeper): the fields the lines above write, by the same names.
struct JournalEntry {
  std::string event;          // "request", "connection", "outcome", "rules", "reset", "pipe", ...
  std::uint64_t seq = 0;      // the request's (or connection's) number; 0 on lines of neither
  std::string command = "?";  // a request's export, as JsonLine names it
  std::int32_t code = 0;
  std::int32_t job = 0;
  std::string param;       // UTF-8, as the host's code page reads the request's text
  std::string rule;        // empty: no rule took it
  std::uint64_t step = 0;  // the rule's step that took it, from 1
  std::string action;
  std::optional<std::int32_t> status;  // none: no reply was sent
  std::string state;                   // a pipe line's: "busy", "absent" or "serving"
  bool restartsNumbering = false;      // a reset of the journal: requests count from 1 again
  std::uint64_t session = 0;           // 0: the service's own

  bool IsRequest() const { return event == "request"; }
  bool IsCaller() const { return event == "request" || event == "connection"; }
};

// False, with the reason, when `line` is not one the service writes: not one JSON object, not
// UTF-8, a field of another type, or a number the field cannot hold. A missing or null field
// keeps its default.
bool ReadJournalEntry(const std::string& line, JournalEntry& entry, std::string& error);

}  // namespace velmora::devservice
