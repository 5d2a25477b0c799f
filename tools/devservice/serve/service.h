// The development service's answer to each caller, apart from any pipe: the request is read,
// the rules are asked, the job table carries it out where it must, the journal records it on
// arrival, and the pipe server is told what to write.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "frames/job_table.h"
#include "journal/entry.h"
#include "pipe_service.h"
#include "rules/planner.h"
#include "serve/settings.h"
#include "sessions/session_table.h"

namespace velmora::devservice {

// The answer to a request read once the service stops or has reached its request limit
// (ERROR_SERVICE_CANNOT_ACCEPT_CTRL): it was not carried out.
constexpr std::int32_t kStatusStopping = 1061;

struct ServiceHooks {
  std::function<std::uint64_t()> ticks;  // milliseconds, steadily rising
  std::function<LogTime()> utc;
  std::function<void(std::string)> console;
  std::function<void(std::string)> journal;  // may be empty: no journal file
  std::function<void()> limitReached;        // the request limit was just reached
  // The session a caller's requests belong to; empty, or none: the service's own rules and jobs.
  std::function<std::shared_ptr<Session>(const tools::Caller&)> route;
};

class Service : public tools::PipeService {
 public:
  Service(const ServiceSettings& settings, JobTable& jobs, Planner& planner, ServiceHooks hooks);

  bool HangUpOnConnect(const tools::Caller& caller) override;
  tools::Answer OnRequest(const tools::Caller& caller, const std::string& request,
                          std::size_t size) override;
  void OnDelivered(const tools::Answer& answer, const tools::Delivery& delivery) override;
  tools::PipeState StateNow(std::uint64_t now, std::uint64_t& next) override;

  // Every request read from now on is answered kStatusStopping.
  void Stop();
  long CarriedOut() const;
  std::uint64_t RequestsRead() const;  // since the start, or since the numbering restarted
  // Between two requests: every job idle, and/or the request numbering from 1 again. `mark`
  // (the journal's reset line) runs under the same lock that numbers and journals requests, so
  // no request numbered before the reset is journaled after its line, nor one after it before.
  void Reset(bool jobs, bool numbering, const std::function<void()>& mark = {});
  // The same for a session: its jobs idle, and/or its journal from the next request on.
  void ResetSession(Session& session, bool jobs, bool journal, const std::function<void()>& mark);

 private:
  std::shared_ptr<Session> SessionOf(const tools::Caller& caller) const;
  void Record(std::uint64_t seq, std::uint64_t seed, const Request* request,
              const Decision& decision);

  const ServiceSettings& settings_;  // the owner's, which outlives the service
  JobTable& jobs_;
  Planner& planner_;
  const ServiceHooks hooks_;
  // The table changes and the journal records under this lock, so the journal follows the
  // table; with a limit, exactly that many requests are carried out.
  mutable std::mutex order_;
  std::uint64_t seq_ = 0;
  std::map<std::uint64_t, std::uint64_t> sessionOfAnswer_;  // by request number, until delivered
  long carriedOut_ = 0;
  bool stopping_ = false;
  tools::PipeState state_ = tools::PipeState::kServing;
};

}  // namespace velmora::devservice
