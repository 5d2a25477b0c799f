// What the development service does for one connected client: read its request (within the
// client time limit), wait if told to, let the job table answer and log it in the same order,
// reply (or hang up if told to), and wait, within the limit again, for the client to close.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>

#include "job_table.h"
#include "options.h"
#include "request_log.h"

namespace velmora::devservice {

class ClientSessions {
 public:
  ClientSessions(const Options& options, JobTable& jobs, RequestLog& log, HANDLE stop)
      : options_(options), jobs_(jobs), log_(log), stop_(stop) {}

  // Serves the client connected to `pipe`; false once the service should stop (stopped, or
  // the request limit reached).
  bool Serve(HANDLE pipe);
  long requests() const { return requests_; }

 private:
  const Options& options_;
  JobTable& jobs_;
  RequestLog& log_;
  const HANDLE stop_;
  // Held while a request changes the table and is logged, so the log follows the table.
  std::mutex order_;
  std::atomic<long> requests_{0};
};

}  // namespace velmora::devservice
