// What the development service answers to one request: let the job table carry it out and log
// it in the same order, then reply (late, or not at all, if told to). With a request limit,
// exactly that many are carried out; a request read after the last is answered "stopping".
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "job_table.h"
#include "options.h"
#include "pipe_server.h"
#include "request_log.h"

namespace velmora::devservice {

// The answer to a request read after the request limit was reached
// (ERROR_SERVICE_CANNOT_ACCEPT_CTRL): it was not carried out.
constexpr std::int32_t kStatusStopping = 1061;

class ClientSessions {
 public:
  // `lastRequest` is called once the request limit has been reached.
  ClientSessions(const Options& options, JobTable& jobs, RequestLog& log,
                 std::function<void()> lastRequest)
      : options_(options), jobs_(jobs), log_(log), lastRequest_(std::move(lastRequest)) {}

  tools::Answer Serve(const std::string& request);
  long requests() const { return requests_; }

 private:
  const Options& options_;
  JobTable& jobs_;
  RequestLog& log_;
  const std::function<void()> lastRequest_;
  // Held while a request changes the table and is logged, so the log follows the table.
  std::mutex order_;
  std::atomic<long> requests_{0};  // carried out
};

}  // namespace velmora::devservice
