// The development service's record of each request: a line on the console and, with --log, a
// JSON line in a file. The lines are made apart from any platform call.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "job_table.h"
#include "service_protocol.h"

namespace velmora::devservice {

// The time (UTC) a request was carried out.
struct LogTime {
  int year, month, day, hour, minute, second, millisecond;
};

// "12:00:01.250Z  job 5  StartJob (1279)  param \"\"  -> 0 started"; a malformed request shows
// the bytes received instead of a param.
std::string ConsoleLine(const LogTime& time, const Request& request, const Outcome& outcome);
// {"time":"2026-12-08T12:00:01.250Z","job":5,"command":"StartJob","code":1279,...}: the time
// in RFC 3339, the bytes a client sent taken as Latin-1, so any of them come out as valid JSON.
std::string JsonLine(const LogTime& time, const Request& request, const Outcome& outcome);

// Writes both lines for each request, one request at a time, so the lines come in the order
// the requests were carried out when the caller holds the order.
class RequestLog {
 public:
  // Problems with the log file are reported on `errors`.
  explicit RequestLog(std::FILE* console = stdout, std::FILE* errors = stderr)
      : console_(console), errors_(errors) {}
  RequestLog(const RequestLog&) = delete;
  RequestLog& operator=(const RequestLog&) = delete;
  ~RequestLog();

  // Appends to `path` (UTF-8) as well as printing. On failure returns false and the reason in
  // `error`.
  bool Open(const std::string& path, std::string& error);
  // A line the file does not take is reported once; the console lines go on.
  void Write(const LogTime& time, const Request& request, const Outcome& outcome);

 private:
  std::FILE* const console_;
  std::FILE* const errors_;
  std::mutex mutex_;
  std::string path_;
  std::FILE* file_ = nullptr;
  bool failed_ = false;
};

}  // namespace velmora::devservice
