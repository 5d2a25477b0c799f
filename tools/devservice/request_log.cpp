#include "request_log.h"

#include <cerrno>
#include <cstring>

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
  std::string line = Timestamp(time).substr(11) + "  job " + std::to_string(request.jobId) + "  " +
                     Name(request) + " (" + std::to_string(request.command) + ")  ";
  if (request.wellFormed) {
    line += "param " + tools::JsonString(request.param) + (request.cut ? " (cut)" : "");
  } else {
    line += "bytes " + tools::JsonString(request.received) + " of " + std::to_string(request.size);
  }
  return line + "  -> " + std::to_string(outcome.status) + " " + outcome.message + "\n";
}

std::string JsonLine(const LogTime& time, const Request& request, const Outcome& outcome) {
  std::string line = "{\"time\":\"" + Timestamp(time) +
                     "\",\"job\":" + std::to_string(request.jobId) + ",\"command\":\"" +
                     Name(request) + "\",\"code\":" + std::to_string(request.command) +
                     ",\"param\":" + tools::JsonString(request.param) +
                     ",\"cut\":" + (request.cut ? "true" : "false");
  if (!request.wellFormed) {
    line += ",\"bytes\":" + tools::JsonString(request.received) +
            ",\"size\":" + std::to_string(request.size);
  }
  return line + ",\"status\":" + std::to_string(outcome.status) +
         ",\"message\":" + tools::JsonString(outcome.message) + "}\n";
}

RequestLog::~RequestLog() {
  if (file_ != nullptr) std::fclose(file_);
}

bool RequestLog::Open(const std::string& path, std::string& error) {
  file_ = std::fopen(path.c_str(), "a");
  if (file_ == nullptr) {
    error = "cannot open " + path + " for appending: " + std::strerror(errno);
    return false;
  }
  path_ = path;
  return true;
}

void RequestLog::Write(const LogTime& time, const Request& request, const Outcome& outcome) {
  const std::string console = ConsoleLine(time, request, outcome);
  std::lock_guard<std::mutex> lock(mutex_);
  std::fputs(console.c_str(), console_);
  std::fflush(console_);
  if (file_ == nullptr || failed_) return;
  const std::string json = JsonLine(time, request, outcome);
  errno = 0;
  if (std::fputs(json.c_str(), file_) < 0 || std::fflush(file_) != 0) {
    failed_ = true;
    std::fprintf(errors_,
                 "velmora-devservice: cannot write to %s (%s); the requests from here on are "
                 "only printed\n",
                 path_.c_str(), errno != 0 ? std::strerror(errno) : "write failed");
    std::fflush(errors_);
  }
}

}  // namespace velmora::devservice
