#include "request_log.h"

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "export_table.h"
#ifdef _WIN32
#include "wide_text.h"
#endif

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

std::string ConsoleLine(const LogTime& time, const Request& request, const Outcome& outcome) {
  std::string line = Timestamp(time).substr(11) + "  job " + std::to_string(request.jobId) + "  " +
                     Name(request) + " (" + std::to_string(request.command) + ")  ";
  if (request.wellFormed) {
    line += "param " + Quoted(request.param) + (request.cut ? " (cut)" : "");
  } else {
    line += "bytes " + Quoted(request.received) + " of " + std::to_string(request.size);
  }
  return line + "  -> " + std::to_string(outcome.status) + " " + outcome.message + "\n";
}

std::string JsonLine(const LogTime& time, const Request& request, const Outcome& outcome) {
  Json line = {{"time", Timestamp(time)},        {"job", request.jobId},
               {"command", Name(request)},       {"code", request.command},
               {"param", Latin1(request.param)}, {"cut", request.cut}};
  if (!request.wellFormed) {
    line["bytes"] = Latin1(request.received);
    line["size"] = request.size;
  }
  line["status"] = outcome.status;
  line["message"] = Latin1(outcome.message);
  return line.dump(-1, ' ', true) + "\n";
}

RequestLog::~RequestLog() {
  if (file_ != nullptr) std::fclose(file_);
}

bool RequestLog::Open(const std::string& path, std::string& error) {
#ifdef _WIN32
  file_ = _wfopen(tools::WideFromUtf8(path).c_str(), L"a");
#else
  file_ = std::fopen(path.c_str(), "a");
#endif
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
