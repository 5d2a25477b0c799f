#include "request_log.h"

#include "json_text.h"

namespace velmora::devservice {
namespace {

std::string Timestamp(const LogTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  return text;
}

const char* Name(const Request& request) {
  return request.wellFormed ? CommandName(request.command, request.jobId) : "malformed";
}

}  // namespace

std::string ConsoleLine(const LogTime& time, const Request& request, const Outcome& outcome) {
  return Timestamp(time).substr(11) + "  job " + std::to_string(request.jobId) + "  " +
         Name(request) + " (" + std::to_string(request.command) + ")  param " +
         tools::JsonString(request.param) + (request.cut ? " (cut)" : "") + "  -> " +
         std::to_string(outcome.status) + " " + outcome.message + "\n";
}

std::string JsonLine(const LogTime& time, const Request& request, const Outcome& outcome) {
  return "{\"time\":\"" + Timestamp(time) + "\",\"job\":" + std::to_string(request.jobId) +
         ",\"command\":\"" + Name(request) + "\",\"code\":" + std::to_string(request.command) +
         ",\"param\":" + tools::JsonString(request.param) +
         ",\"cut\":" + (request.cut ? "true" : "false") +
         ",\"status\":" + std::to_string(outcome.status) +
         ",\"message\":" + tools::JsonString(outcome.message) + "}\n";
}

RequestLog::~RequestLog() {
  if (file_ != nullptr) std::fclose(file_);
}

bool RequestLog::Open(const std::string& path) {
  file_ = std::fopen(path.c_str(), "a");
  return file_ != nullptr;
}

void RequestLog::Write(const LogTime& time, const Request& request, const Outcome& outcome) {
  const std::string console = ConsoleLine(time, request, outcome);
  std::lock_guard<std::mutex> lock(mutex_);
  std::fputs(console.c_str(), stdout);
  std::fflush(stdout);
  if (file_ != nullptr) {
    std::fputs(JsonLine(time, request, outcome).c_str(), file_);
    std::fflush(file_);
  }
}

}  // namespace velmora::devservice
