#include "request_log.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "export_table.h"

namespace velmora::devservice {
namespace {

using Json = nlohmann::ordered_json;

std::string Timestamp(const LogTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  return text;
}

const char* Name(const Request& request) {
  if (!request.wellFormed) return "malformed";
  const tools::ExportInfo* sender = tools::ExportSending(request.command, request.jobId);
  return sender != nullptr ? sender->name : "unknown";
}

// The bytes as the code points U+0000 to U+00FF, in UTF-8.
std::string Latin1(const std::string& bytes) {
  std::string utf8;
  for (const char c : bytes) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      utf8 += c;
    } else {
      utf8 += static_cast<char>(0xC0 | byte >> 6);
      utf8 += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return utf8;
}

// A JSON string literal, plain ASCII.
std::string Quoted(const std::string& bytes) {
  return Json(Latin1(bytes)).dump(-1, ' ', true);
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
      line += "param " + Quoted(request->param) + (request->cut ? " (cut)" : "");
    } else {
      line += "bytes " + Quoted(request->received) + " of " + std::to_string(request->size);
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
    line["param"] = Latin1(request->param);
    line["cut"] = request->cut;
    if (!request->wellFormed) {
      line["bytes"] = Latin1(request->received);
      line["size"] = request->size;
    }
  }
  line["rule"] = decision.rule.empty() ? Json() : Json(Latin1(decision.rule));
  line["step"] = decision.rule.empty() ? Json() : Json(decision.step);
  line["action"] = decision.rule.empty() ? Json() : Json(decision.action);
  line["status"] = decision.status ? Json(*decision.status) : Json();
  line["message"] = Latin1(decision.message);
  return line.dump(-1, ' ', true) + "\n";
}

std::string OutcomeLine(std::uint64_t seq, const tools::Delivery& delivery) {
  const Json line = {{"seq", seq},
                     {"event", "outcome"},
                     {"written", delivery.bytesWritten},
                     {"left_early", delivery.callerLeftEarly},
                     {"ms", delivery.ms}};
  return line.dump() + "\n";
}

namespace {
constexpr const char* kOverBound =
    "its pattern gave up on this request's text, past its matching bound: counted as no match "
    "(said for the rule's first such request only)";
}  // namespace

std::string PatternBoundLine(std::uint64_t seq, const LogTime& time, const std::string& rule) {
  const Json line = {{"seq", seq},
                     {"event", "pattern"},
                     {"time", Timestamp(time)},
                     {"rule", Latin1(rule)},
                     {"note", kOverBound}};
  return line.dump() + "\n";
}

std::string PatternBoundConsoleLine(std::uint64_t seq, const std::string& rule) {
  return "velmora-devservice: #" + std::to_string(seq) + ": rule " + Quoted(rule) + ": " +
         kOverBound + "\n";
}

std::string RulesLine(const LogTime& time, const std::string& source, std::size_t rules,
                      std::uint64_t seed, const std::string& error) {
  Json line = {{"event", error.empty() ? "rules" : "rules refused"},
               {"time", Timestamp(time)},
               {"source", Latin1(source)}};
  if (error.empty()) {
    line["rules"] = rules;
    line["seed"] = seed;
  } else {
    line["error"] = Latin1(error);
  }
  return line.dump() + "\n";
}

std::string ResetLine(const LogTime& time, bool rules, bool jobs, bool journal) {
  const Json line = {{"event", "reset"},
                     {"time", Timestamp(time)},
                     {"rules", rules},
                     {"jobs", jobs},
                     {"journal", journal}};
  return line.dump() + "\n";
}

std::string PipeStateLine(const LogTime& time, const char* state) {
  const Json line = {{"event", "pipe"}, {"time", Timestamp(time)}, {"state", state}};
  return line.dump() + "\n";
}

}  // namespace velmora::devservice
