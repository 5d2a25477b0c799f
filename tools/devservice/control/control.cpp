#include "control/control.h"

#include <algorithm>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

#include "journal/verify.h"
#include "text/json_members.h"
#include "text/json_text.h"

namespace velmora::devservice {
namespace {

using Json = nlohmann::json;
using Answer = nlohmann::ordered_json;  // "ok" first, as a person reading the line expects

// A control line holds a rules file's content one level down.
constexpr std::size_t kMaxLineDepth = 40;

using Refused = MemberRefused;

// What one control line acts on.
struct Context {
  ControlConnection& connection;
  ControlTarget& target;
  const MemoryJournal& journal;
};

// busy and absent act on the whole pipe, which every session shares.
void RefuseWholePipeRules(const RuleSet& rules) {
  for (const Rule& rule : rules.rules) {
    for (const Step& step : rule.steps) {
      if (step.action == Action::kBusy || step.action == Action::kAbsent) {
        throw Refused{std::string(ActionName(step.action)) +
                      " acts on the whole pipe: apply it outside a session"};
      }
    }
  }
}

// Every text in an answer is UTF-8 (a line that is not is refused before it is parsed); a byte
// that slipped through anyway is written as U+FFFD rather than ending the service.
std::string Dump(const Answer& answer) {
  return answer.dump(-1, ' ', false, Answer::error_handler_t::replace);
}

std::string Failure(const std::string& error) {
  return Dump(Answer{{"ok", false}, {"error", error}});
}

// The rules as a rules file with rule N on line N + 1, so that the reader's "line 3: ..." can be
// said as "rule 2: ...".
std::string ApplyRules(const Json& request, const Context& context) {
  OnlyMembers(request, "apply", {"rules"});
  const auto file = request.find("rules");
  if (file == request.end() || !file->is_object()) {
    throw Refused{"apply needs \"rules\": the content of a rules file"};
  }
  const auto rules = file->find("rules");
  if (rules == file->end() || !rules->is_array())
    throw Refused{"\"rules\" must be a list of rules"};
  std::string text = "{\"rules\": [\n";
  for (std::size_t i = 0; i < rules->size(); ++i) text += (i ? ",\n" : "") + (*rules)[i].dump();
  text += "\n]";
  for (const auto& [key, value] : file->items()) {
    if (key != "rules") text += ", " + Json(key).dump() + ": " + value.dump();
  }
  text += "}";
  RuleSet set;
  std::string error;
  if (!ReadRules(text, set, error)) {
    // "line N: reason": rule N - 1, or the file's own keys on the first and last lines.
    std::size_t line = 0;
    std::size_t at = error.rfind("line ", 0) == 0 ? 5 : error.size();
    for (; at < error.size() && error[at] >= '0' && error[at] <= '9'; ++at) {
      line = std::min<std::size_t>(line * 10 + static_cast<std::size_t>(error[at] - '0'), 1 << 30);
    }
    if (line == 0 || error.compare(at, 2, ": ") != 0) throw Refused{error};
    if (line >= 2 && line <= rules->size() + 1) {
      throw Refused{"rule " + std::to_string(line - 1) + error.substr(at)};
    }
    throw Refused{error.substr(at + 2)};
  }
  if (context.connection.session != 0) RefuseWholePipeRules(set);
  const std::size_t inForce = set.rules.size();
  const std::uint64_t seed = context.target.Apply(context.connection.session, std::move(set));
  return Dump(Answer{{"ok", true}, {"rules", inForce}, {"seed", seed}});
}

// A session sees its own lines from its journal's start; the service's own connection sees every
// line.
std::string Journal(const Json& request, const Context& context) {
  OnlyMembers(request, "journal", {"since"});
  const std::uint64_t session = context.connection.session;
  const std::uint64_t since = std::max(WholeMember<std::uint64_t>(request, "since").value_or(1),
                                       context.target.JournalStart(session));
  std::uint64_t next = 0;
  const std::vector<std::string> lines = session != 0 ? context.journal.Since(since, next, session)
                                                      : context.journal.Since(since, next);
  // The lines are the service's own JSON objects: they go in as they are.
  std::string answer = "{\"ok\":true,\"entries\":[";
  for (std::size_t i = 0; i < lines.size(); ++i) answer += (i ? "," : "") + lines[i];
  return answer + "],\"next\":" + std::to_string(next) + "}";
}

std::string Verify(const Json& request, const Context& context) {
  VerifyConditions conditions;
  std::string error;
  if (!ReadConditions(request, conditions, error)) throw Refused{error};
  const MemoryJournal& journal = context.journal;
  if (const std::uint64_t session = context.connection.session; session != 0) {
    if (conditions.session && *conditions.session != session) {
      throw Refused{"a session verifies its own requests only"};
    }
    conditions.session = session;
    conditions.since = std::max(conditions.since.value_or(1), context.target.JournalStart(session));
  }
  std::string report;
  long count = 0;
  const std::uint64_t dropped = journal.Dropped();  // before the text: never an undercount
  const Verdict verdict = CheckJournal(journal.Text(), conditions, report, &count);
  if (verdict == Verdict::kCannotTell) throw Refused{report};
  if (dropped > 0) {
    report += "the memory journal keeps its last " + std::to_string(journal.Kept()) +
              " lines: its first " + std::to_string(dropped) +
              " are no longer held and were not counted (the journal file keeps every line)\n";
  }
  return Dump(Answer{
      {"ok", true}, {"count", count}, {"agrees", verdict == Verdict::kAgrees}, {"report", report}});
}

}  // namespace

namespace {

// Whether a line under way, `partial` then `more`, is still within kMaxControlLine: its end is
// not counted, and a CR last may be the first half of a CR LF end.
bool Fits(const std::string& partial, std::string_view more) {
  const std::size_t size = partial.size() + more.size();
  const char last = !more.empty() ? more.back() : !partial.empty() ? partial.back() : '\0';
  return size <= kMaxControlLine || (size == kMaxControlLine + 1 && last == '\r');
}

}  // namespace

bool LineSplitter::Add(std::string_view bytes, std::vector<std::string>& lines) {
  for (std::size_t end = bytes.find('\n'); end != std::string_view::npos; end = bytes.find('\n')) {
    if (!Fits(partial_, bytes.substr(0, end))) return false;
    partial_.append(bytes.substr(0, end));
    if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
    lines.push_back(std::move(partial_));
    partial_.clear();
    bytes.remove_prefix(end + 1);
  }
  if (!Fits(partial_, bytes)) return false;
  partial_.append(bytes);
  return true;
}

std::string LineTooLongAnswer() {
  return Failure("a line longer than " + std::to_string(kMaxControlLine) +
                 " bytes; the connection is closed");
}

namespace {

// One operation in one place: how the service answers it, what ctl sends for it, and how ctl
// prints its answer.
struct Operation {
  ControlOpInfo info;
  std::string (*answer)(const Json& request, const Context& context);
  void (*send)(const ControlOptions& options, Json& request);
  // What ctl prints for an answer that is ok.
  void (*print)(const Answer& reply, ControlOutcome& outcome);
};

std::string Ping(const Json& request, const Context& context) {
  OnlyMembers(request, "ping", {});
  const ServiceState state = context.target.State();
  return Dump(Answer{{"ok", true},
                     {"version", state.version},
                     {"pid", state.pid},
                     {"rules", state.rules},
                     {"seed", state.seed},
                     {"requests", state.requests}});
}

std::string Reset(const Json& request, const Context& context) {
  OnlyMembers(request, "reset", {"rules", "jobs", "journal"});
  std::string error;
  if (!context.target.Reset(context.connection.session, FlagMember(request, "rules"),
                            FlagMember(request, "jobs"), FlagMember(request, "journal"), error)) {
    throw Refused{error};
  }
  return Dump(Answer{{"ok", true}});
}

std::string Stop(const Json& request, const Context&) {
  OnlyMembers(request, "stop", {});
  return Dump(Answer{{"ok", true}});
}

std::string OpenSession(const Json& request, const Context& context) {
  OnlyMembers(request, "session", {"process", "name"});
  const std::string name = TextMember(request, "name");
  const auto process = WholeMember<std::uint32_t>(request, "process");
  if (context.connection.session != 0) {
    throw Refused{"this connection holds session " + std::to_string(context.connection.session) +
                  " already: end it first"};
  }
  std::string error;
  if (!context.target.OpenSession(name, process.value_or(0), context.connection, error)) {
    throw Refused{error};
  }
  return Dump(Answer{{"ok", true}, {"session", context.connection.session}});
}

std::string EndSession(const Json& request, const Context& context) {
  OnlyMembers(request, "end", {"name"});
  const std::string name = TextMember(request, "name");
  const std::uint64_t session =
      name.empty() ? context.connection.session : context.target.NamedSession(name);
  if (session == 0) {
    throw Refused{name.empty() ? "this connection holds no session"
                               : "no session is named \"" + name + "\""};
  }
  if (!context.target.EndSession(session)) {
    throw Refused{"session " + std::to_string(session) + " has ended already"};
  }
  if (session == context.connection.session) context.connection = {context.connection.pid};
  return Dump(Answer{{"ok", true}, {"session", session}});
}

void SendNothing(const ControlOptions&, Json&) {}

const Operation kOperations[] = {
    {{"ping", "the service's version, process, rules, seed and requests read"},
     Ping,
     SendNothing,
     [](const Answer& reply, ControlOutcome& outcome) {
       outcome.out = "velmora-devservice " + reply.at("version").get<std::string>() + " (process " +
                     reply.at("pid").dump() + "): " + reply.at("rules").dump() + " rule(s), seed " +
                     reply.at("seed").dump() + ", " + reply.at("requests").dump() +
                     " request(s) read\n";
     }},
    {{"apply", "put the rules in FILE (- for standard input) in force, answered once they are"},
     ApplyRules,
     SendNothing,  // the file goes in as it is, looked over first (ControlRequest)
     [](const Answer& reply, ControlOutcome& outcome) {
       outcome.out =
           reply.at("rules").dump() + " rule(s) in force, seed " + reply.at("seed").dump() + "\n";
     }},
    {{"reset", "rules as at the start, every job idle, the journal emptied"},
     Reset,
     [](const ControlOptions& options, Json& request) {
       request["rules"] = !options.keepRules;
       request["jobs"] = !options.keepJobs;
       request["journal"] = !options.keepJournal;
     },
     [](const Answer&, ControlOutcome& outcome) { outcome.out = "done\n"; }},
    {{"journal", "the journal's lines kept in memory, one JSON line each"},
     Journal,
     [](const ControlOptions& options, Json& request) {
       if (options.since) request["since"] = *options.since;
     },
     [](const Answer& reply, ControlOutcome& outcome) {
       // The lines on standard output, as a journal file holds them; `next` beside them.
       for (const Answer& entry : reply.at("entries")) outcome.out += entry.dump() + "\n";
       outcome.err = "next: " + reply.at("next").dump() + "\n";
     }},
    {{"verify", "count the journal's requests that meet the conditions"},
     Verify,
     [](const ControlOptions& options, Json& request) { WriteConditions(options.verify, request); },
     [](const Answer& reply, ControlOutcome& outcome) {
       outcome.out = reply.at("report").get<std::string>();
     }},
    {{"stop", "answer, then stop the service as Ctrl+C does"},
     Stop,
     SendNothing,
     [](const Answer&, ControlOutcome& outcome) { outcome.out = "stopping\n"; }},
    {{"session", "open a session for --process PID (ctl: with --session NAME)"},
     OpenSession,
     SendNothing,  // ctl opens it with SessionRequest
     [](const Answer& reply, ControlOutcome& outcome) {
       outcome.out = "session " + reply.at("session").dump() + "\n";
     }},
    {{"end", "end the session named by --session"},
     EndSession,
     SendNothing,
     [](const Answer& reply, ControlOutcome& outcome) {
       outcome.out = "session " + reply.at("session").dump() + " ended\n";
     }},
};

const Operation* Find(const std::string& name) {
  for (const Operation& operation : kOperations) {
    if (name == operation.info.name) return &operation;
  }
  return nullptr;
}

}  // namespace

std::vector<ControlOpInfo> ControlOps() {
  std::vector<ControlOpInfo> ops;
  for (const Operation& operation : kOperations) ops.push_back(operation.info);
  return ops;
}

std::string ControlOpNames() {
  std::string names;
  for (const Operation& operation : kOperations) {
    names += (names.empty() ? "" : ", ") + std::string(operation.info.name);
  }
  return names;
}

ControlAnswer AnswerControl(const std::string& line, ControlConnection& connection,
                            ControlTarget& target, const MemoryJournal& journal) {
  ControlAnswer answer;
  try {
    if (const auto fault = CheckJsonText(line, kMaxLineDepth)) throw Refused{fault->reason};
    const Json request = Json::parse(line);
    const auto op = request.is_object() ? request.find("op") : request.end();
    if (op == request.end() || !op->is_string()) {
      throw Refused{"each line must be one JSON object with an \"op\""};
    }
    const std::string name = op->get<std::string>();
    const Operation* operation = Find(name);
    if (operation == nullptr) {
      throw Refused{"unknown op \"" + name + "\" (" + ControlOpNames() + ")"};
    }
    answer.line = operation->answer(request, Context{connection, target, journal});
    answer.stop = operation->answer == Stop;
  } catch (const Refused& refused) {
    answer.line = Failure(refused.error);
  } catch (const Json::exception& e) {
    const std::string what = e.what();
    const std::size_t reason = what.find("] ");
    answer.line =
        Failure("not JSON: " + (reason == std::string::npos ? what : what.substr(reason + 2)));
  }
  return answer;
}

void EndConnection(const ControlConnection& connection, ControlTarget& target) {
  if (connection.session != 0 && !connection.named) target.EndSession(connection.session);
}

std::string SessionRequest(const ControlOptions& options) {
  Json request = {{"op", "session"}, {"name", options.session}};
  if (options.process != 0) request["process"] = options.process;
  return request.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool ControlRequest(const ControlOptions& options, const std::string& rulesText, std::string& line,
                    std::string& error) {
  Json request = {{"op", options.op}};
  if (options.op == "apply") {
    // Looked over as the service looks over a rules file, since parsing would hide a key given
    // twice.
    if (const auto fault = CheckJsonText(rulesText, kMaxLineDepth - 2)) {
      error = options.file + ": line " + std::to_string(LineAt(rulesText, fault->offset)) + ": " +
              fault->reason;
      return false;
    }
    request["rules"] = Json::parse(rulesText, nullptr, false);
    if (!request["rules"].is_object()) {
      error = options.file + ": not one JSON object";
      return false;
    }
  } else if (const Operation* operation = Find(options.op)) {
    operation->send(options, request);
  }
  if (options.op == "end" && !options.session.empty()) request["name"] = options.session;
  try {
    line = request.dump();
  } catch (const Json::exception&) {
    error = "a text that is not UTF-8";
    return false;
  }
  return true;
}

ControlOutcome ReadControlAnswer(const ControlOptions& options, const std::string& answer) {
  ControlOutcome outcome;
  const Answer reply = Answer::parse(answer, nullptr, false);
  const auto ok = reply.is_object() ? reply.find("ok") : reply.end();
  if (ok == reply.end() || !ok->is_boolean()) {
    outcome.err = "the service's answer is not understood: " + answer.substr(0, 200) + "\n";
    return outcome;
  }
  const bool agrees = reply.value("agrees", true);
  outcome.exitCode = ok->get<bool>() && agrees ? 0 : 1;
  if (options.json) {
    outcome.out = answer + "\n";
    return outcome;
  }
  try {
    if (!ok->get<bool>()) {
      outcome.err = reply.value("error", std::string("refused")) + "\n";
    } else if (const Operation* operation = Find(options.op)) {
      operation->print(reply, outcome);
    }
  } catch (const Json::exception&) {
    outcome = ControlOutcome();
    outcome.err = "the service's answer is not understood: " + answer.substr(0, 200) + "\n";
  }
  return outcome;
}

}  // namespace velmora::devservice
