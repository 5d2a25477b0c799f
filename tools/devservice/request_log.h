// The development service's record of each request: a line on the console and, with --log, a
// JSON line in a file. The lines are made apart from any platform call.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "job_table.h"
#include "service_protocol.h"

namespace velmora::devservice {

// The local time a request was carried out.
struct LogTime {
  int year, month, day, hour, minute, second, millisecond;
};

// "12:00:01.250  job 5  StartJob (1279)  param \"\"  -> 0 started"
std::string ConsoleLine(const LogTime& time, const Request& request, const Outcome& outcome);
// {"time":"2026-12-08 12:00:01.250","job":5,"command":"StartJob","code":1279,...}
std::string JsonLine(const LogTime& time, const Request& request, const Outcome& outcome);

// Writes both lines for each request, one request at a time.
class RequestLog {
 public:
  RequestLog() = default;
  RequestLog(const RequestLog&) = delete;
  RequestLog& operator=(const RequestLog&) = delete;
  ~RequestLog();

  // Appends to `path` as well as printing; false if the file cannot be opened.
  bool Open(const std::string& path);
  void Write(const LogTime& time, const Request& request, const Outcome& outcome);

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

}  // namespace velmora::devservice
