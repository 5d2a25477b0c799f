// What the development service does for one connected client: read its request, wait if told
// to, let the job table answer, log it, reply (or hang up if told to), and wait for the client
// to close.
#pragma once

#include <windows.h>

#include <atomic>

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
  std::atomic<long> requests_{0};
};

}  // namespace velmora::devservice
