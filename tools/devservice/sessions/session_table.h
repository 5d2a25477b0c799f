// Sessions: a test process's own rules and job table on the one service, so that tests running
// at once do not meet each other's rules or count each other's calls. A session covers the
// process it was opened for and every process that process starts, at any depth; a request
// from a process in no session meets the service's own rules and jobs. Plain code: the
// processes come in as identities (process_tree.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "frames/job_table.h"
#include "rules/planner.h"
#include "sessions/process_tree.h"

namespace velmora::devservice {

struct Session {
  Session(std::uint64_t id, std::string name, ProcessIdentity root, int jobs, std::uint64_t seed,
          std::uint64_t nowMs)
      : id(id), name(std::move(name)), root(root), planner(RuleSet(), seed, nowMs), jobs(jobs) {}

  const std::uint64_t id;  // from 1
  const std::string name;  // empty: it ends with the control connection that opened it
  const ProcessIdentity root;
  Planner planner;  // its rules: none at the start
  JobTable jobs;    // its jobs: all idle at the start
  std::atomic<std::size_t> rules{0};
  // Its journal is its lines from this request number on: a reset of it moves the start.
  std::atomic<std::uint64_t> journalFrom{1};
};

class SessionTable {
 public:
  std::shared_ptr<Session> Open(ProcessIdentity root, std::string name, int jobs,
                                std::uint64_t seed, std::uint64_t nowMs);
  std::shared_ptr<Session> Find(std::uint64_t id) const;
  std::shared_ptr<Session> Named(const std::string& name) const;
  // False when no such session is open.
  bool End(std::uint64_t id);
  bool Empty() const;
  // The session a process with this ancestry (nearest first) belongs to: the innermost one, and
  // of two opened for one process the later. None: the service's own rules and jobs.
  std::shared_ptr<Session> Route(const std::vector<ProcessIdentity>& ancestry) const;
  // The same for `caller`, asking for its ancestry only when the sessions have changed since
  // it was last routed: a process's parents are fixed when it starts, and a walk of the
  // system's processes costs far more than a request.
  std::shared_ptr<Session> Route(const ProcessIdentity& caller,
                                 const std::function<std::vector<ProcessIdentity>()>& ancestry);

 private:
  std::shared_ptr<Session> RouteLocked(const std::vector<ProcessIdentity>& ancestry) const;

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Session>> sessions_;  // in the order opened
  std::uint64_t lastId_ = 0;
  // The callers routed since the sessions last changed, and where to.
  std::map<std::pair<unsigned long, std::uint64_t>, std::weak_ptr<Session>> routed_;
};

}  // namespace velmora::devservice
