#include "journal/entry.h"

#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>
#include <type_traits>

#include "export_table.h"
#include "text/json_text.h"
#include "text/text_model.h"

namespace velmora::devservice {
namespace {

using Json = nlohmann::ordered_json;

std::string Timestamp(const LogTime& t) {
  char text[32];
  (void)std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.year, t.month,
                      t.day, t.hour, t.minute, t.second, t.millisecond);
  return text;
}

const char* Name(const Request& request) {
  if (!request.wellFormed) return "malformed";
  const tools::ExportInfo* sender = tools::ExportSending(request.command, request.jobId);
  return sender != nullptr ? sender->name : "unknown";
}

// The service's own JSON: its texts are UTF-8 (a request's through DecodeAnsi, the rest checked
// where they came in), and a byte that slipped through anyway is written as U+FFFD, never thrown.
std::string Dump(const Json& line, bool asciiOnly = false) {
  return line.dump(-1, ' ', asciiOnly, Json::error_handler_t::replace);
}

Json SessionValue(std::uint64_t session) {
  return session != 0 ? Json(session) : Json();
}

// A JSON string literal, plain ASCII, for the console.
std::string Quoted(const std::string& utf8) {
  return Dump(Json(utf8), true);
}

}  // namespace

std::string ConsoleLine(std::uint64_t seq, const LogTime& time, const Request* request,
                        const Decision& decision) {
  std::string line = Timestamp(time).substr(11) + "  #" + std::to_string(seq) + "  ";
  if (request == nullptr) {
    line += "connection";
  } else {
    line += "job " + std::to_string(request->jobId) + "  " + Name(*request) + " (" +
            std::to_string(request->command) + ")  ";
    if (request->wellFormed) {
      line += "param " + Quoted(DecodeAnsi(request->param)) + (request->cut ? " (cut)" : "");
    } else {
      line +=
          "bytes " + Quoted(DecodeAnsi(request->received)) + " of " + std::to_string(request->size);
    }
  }
  line += "  -> ";
  line += decision.status ? std::to_string(*decision.status) + " " + decision.message
                          : std::string("no reply");
  if (!decision.rule.empty()) {
    line += "  [rule " + Quoted(decision.rule) + " step " + std::to_string(decision.step) + ": " +
            decision.action + "]";
  }
  return line + "\n";
}

std::string JsonLine(std::uint64_t seq, std::uint64_t seed, const LogTime& time,
                     const Request* request, const Decision& decision) {
  Json line = {{"seq", seq},
               {"event", request != nullptr ? "request" : "connection"},
               {"time", Timestamp(time)},
               {"seed", seed}};
  if (request != nullptr) {
    line["job"] = request->jobId;
    line["command"] = Name(*request);
    line["code"] = request->command;
    line["param"] = DecodeAnsi(request->param);
    line["cut"] = request->cut;
    if (!request->wellFormed) {
      line["bytes"] = DecodeAnsi(request->received);
      line["size"] = request->size;
    }
  }
  line["rule"] = decision.rule.empty() ? Json() : Json(decision.rule);
  line["step"] = decision.rule.empty() ? Json() : Json(decision.step);
  line["action"] = decision.rule.empty() ? Json() : Json(decision.action);
  line["status"] = decision.status ? Json(*decision.status) : Json();
  line["message"] = decision.message;
  line["session"] = SessionValue(decision.session);
  return Dump(line, true) + "\n";
}

std::string OutcomeLine(std::uint64_t seq, const tools::Delivery& delivery, std::uint64_t session) {
  const Json line = {{"seq", seq},
                     {"event", "outcome"},
                     {"written", delivery.bytesWritten},
                     {"left_early", delivery.callerLeftEarly},
                     {"ms", delivery.ms},
                     {"session", SessionValue(session)}};
  return Dump(line) + "\n";
}

namespace {
constexpr const char* kOverBound =
    "its pattern gave up on this request's text, past its matching bound: counted as no match "
    "(said for the rule's first such request only)";
}  // namespace

std::string PatternBoundLine(std::uint64_t seq, const LogTime& time, const std::string& rule,
                             std::uint64_t session) {
  const Json line = {{"seq", seq},   {"event", "pattern"}, {"time", Timestamp(time)},
                     {"rule", rule}, {"note", kOverBound}, {"session", SessionValue(session)}};
  return Dump(line) + "\n";
}

std::string PatternBoundConsoleLine(std::uint64_t seq, const std::string& rule) {
  return "velmora-devservice: #" + std::to_string(seq) + ": rule " + Quoted(rule) + ": " +
         kOverBound + "\n";
}

std::string RulesLine(const LogTime& time, const std::string& source, std::size_t rules,
                      std::uint64_t seed, const std::string& error, std::uint64_t session) {
  Json line = {{"event", error.empty() ? "rules" : "rules refused"},
               {"time", Timestamp(time)},
               {"source", source}};
  if (error.empty()) {
    line["rules"] = rules;
    line["seed"] = seed;
  } else {
    line["error"] = error;
  }
  line["session"] = SessionValue(session);
  return Dump(line) + "\n";
}

std::string ResetLine(const LogTime& time, bool rules, bool jobs, bool journal,
                      std::uint64_t session) {
  const Json line = {{"event", "reset"},   {"time", Timestamp(time)},
                     {"rules", rules},     {"jobs", jobs},
                     {"journal", journal}, {"session", SessionValue(session)}};
  return Dump(line) + "\n";
}

std::string SessionLine(const LogTime& time, std::uint64_t session, unsigned long process,
                        const std::string& name, bool ended) {
  const Json line = {{"event", "session"},
                     {"time", Timestamp(time)},
                     {"session", session},
                     {"process", process},
                     {"name", name.empty() ? Json() : Json(name)},
                     {"ended", ended}};
  return Dump(line) + "\n";
}

std::string PipeStateLine(const LogTime& time, const char* state) {
  const Json line = {{"event", "pipe"}, {"time", Timestamp(time)}, {"state", state}};
  return Dump(line) + "\n";
}

namespace {

// The journal's own lines are two levels deep; anything far deeper is not one of them.
constexpr std::size_t kMaxLineDepth = 16;

// A line that is JSON but not a journal line as the service writes it.
struct Unreadable {
  std::string why;
};

// The value as T; a value of another type makes the line unreadable.
template <typename T>
T Typed(const nlohmann::json& value, const char* key) {
  try {
    return value.get<T>();
  } catch (const nlohmann::json::exception&) {
    throw Unreadable{std::string("\"") + key + "\" is a " + value.type_name() +
                     ", not what the service writes there"};
  }
}

// A field: `fallback` when it is missing or null; a field of another type, or a number the field
// cannot hold (converting 1e27 or 2^40 would be undefined or a wrong count), makes the line
// unreadable.
template <typename T>
T Field(const nlohmann::json& entry, const char* key, T fallback) {
  const auto it = entry.find(key);
  if (it == entry.end() || it->is_null()) return fallback;
  if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
    if (!it->is_number()) return Typed<T>(*it, key);
    bool whole = false;
    if (it->is_number_unsigned()) {
      whole = it->get<std::uint64_t>() <= static_cast<std::uint64_t>(std::numeric_limits<T>::max());
    } else if (it->is_number_integer()) {  // a negative one
      whole = std::is_signed_v<T> &&
              it->get<std::int64_t>() >= static_cast<std::int64_t>(std::numeric_limits<T>::min());
    }
    if (!whole) {
      throw Unreadable{std::string("\"") + key + "\" is " + it->dump().substr(0, 40) +
                       ", not a number the service writes there"};
    }
  }
  return Typed<T>(*it, key);
}

}  // namespace

bool ReadJournalEntry(const std::string& line, JournalEntry& entry, std::string& error) {
  if (const auto fault = CheckJsonText(line, kMaxLineDepth)) {
    error = fault->reason;
    return false;
  }
  const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
  if (object.is_discarded() || !object.is_object()) {
    error = "not a JSON object";
    return false;
  }
  try {
    JournalEntry read;
    read.event = Field<std::string>(object, "event", "");
    read.seq = Field<std::uint64_t>(object, "seq", 0);
    read.command = Field<std::string>(object, "command", read.command);
    read.code = Field<std::int32_t>(object, "code", 0);
    read.job = Field<std::int32_t>(object, "job", 0);
    read.param = Field<std::string>(object, "param", "");
    read.rule = Field<std::string>(object, "rule", "");
    read.step = Field<std::uint64_t>(object, "step", 0);
    read.action = Field<std::string>(object, "action", "");
    const auto status = object.find("status");
    if (status != object.end() && !status->is_null()) {
      read.status = Field<std::int32_t>(object, "status", 0);
    }
    read.state = Field<std::string>(object, "state", "");
    read.session = Field<std::uint64_t>(object, "session", 0);
    // A session's reset starts its own journal afresh, not the service's numbering.
    read.restartsNumbering =
        read.event == "reset" && read.session == 0 && Field<bool>(object, "journal", false);
    entry = std::move(read);
    return true;
  } catch (const Unreadable& unreadable) {
    error = unreadable.why;
    return false;
  }
}

}  // namespace velmora::devservice
