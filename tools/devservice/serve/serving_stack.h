// What serves "\\.\pipe\pipe_job", put together in one place for the service and the sweep
// alike: the rules' planner, the job table, the service's answers and the pipe server that
// carries them out. Windows only.
#pragma once

#include <cstdint>
#include <string>

#include "frames/job_table.h"
#include "pipe_server.h"
#include "rules/planner.h"
#include "serve/service.h"
#include "serve/settings.h"
#include "sessions/session_table.h"

namespace velmora::devservice {

// A seed for a service given none: 63 bits of the system's entropy, so that it prints and reads
// back as a positive number everywhere.
std::uint64_t DrawSeed();

// The service's route for a caller: the session of its process or of an ancestor. A caller's
// process and its ancestors are looked up only while a session is open.
std::function<std::shared_ptr<Session>(const tools::Caller&)> RouteToSessions(
    SessionTable& sessions);

class ServingStack {
 public:
  // No rules until Replace: the check for another server after the start is a caller too.
  ServingStack(const StackSettings& settings, std::uint64_t seed, ServiceHooks hooks);
  ServingStack(const ServingStack&) = delete;
  ServingStack& operator=(const ServingStack&) = delete;

  // Every instance listening; false, with the reason, when the pipe cannot be made or another
  // server serves it too (Wine ignores the first-instance flag, so the pipe itself is asked).
  bool Start(std::string& error);
  // The next request read is judged by `rules`; their windows and sequences start afresh, and
  // the pipe is put in the state they ask for before this returns.
  void Replace(RuleSet rules, std::uint64_t seed);
  // Callers already connected are answered, those whose request comes now 1061. With
  // `finishConnections`, delayed answers keep their delays. Returns once the server has ended.
  void Stop(bool finishConnections);

  Service& service() { return service_; }

 private:
  Planner planner_;
  JobTable jobs_;
  Service service_;
  tools::PipeServer server_;
};

}  // namespace velmora::devservice
