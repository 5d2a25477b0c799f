#include "serve/serving_stack.h"

#include <windows.h>

#include <random>

#include "serve/pipe_guard.h"
#include "sessions/process_tree.h"

namespace velmora::devservice {

std::uint64_t DrawSeed() {
  std::random_device entropy;
  return (std::uint64_t{entropy()} << 32 | entropy()) & 0x7FFFFFFFFFFFFFFF;
}

std::function<std::shared_ptr<Session>(const tools::Caller&)> RouteToSessions(
    SessionTable& sessions) {
  return [&sessions](const tools::Caller& caller) -> std::shared_ptr<Session> {
    if (sessions.Empty()) return nullptr;
    const std::optional<ProcessIdentity> identity = IdentifyProcess(caller.processId);
    if (!identity) return nullptr;
    return sessions.Route(*identity,
                          [&caller] { return Ancestry(caller.processId, SystemProcesses()); });
  };
}

ServingStack::ServingStack(const StackSettings& settings, std::uint64_t seed, ServiceHooks hooks)
    : planner_(RuleSet(), seed, GetTickCount64()),
      jobs_(settings.jobs),
      service_(settings, jobs_, planner_, std::move(hooks)),
      server_({settings.instances, settings.clientTimeoutMs, true, PipeSecurity()}, service_) {}

bool ServingStack::Start(std::string& error) {
  if (!server_.Start(error)) return false;
  if (const std::string other = OtherServer(true); !other.empty()) {
    error = other + " also serves \\\\.\\pipe\\pipe_job; stop it first";
    return false;
  }
  return true;
}

void ServingStack::Replace(RuleSet rules, std::uint64_t seed) {
  planner_.Replace(std::move(rules), seed, GetTickCount64());
  server_.Refresh();
}

void ServingStack::Stop(bool finishConnections) {
  service_.Stop();
  server_.Stop(finishConnections);
  server_.Wait();
}

}  // namespace velmora::devservice
