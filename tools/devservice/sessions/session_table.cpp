#include "sessions/session_table.h"

#include <algorithm>

namespace velmora::devservice {
namespace {

// Callers remembered at most; past it the memory starts afresh.
constexpr std::size_t kRoutedKept = 4096;

}  // namespace

std::shared_ptr<Session> SessionTable::Open(ProcessIdentity root, std::string name, int jobs,
                                            std::uint64_t seed, std::uint64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto session = std::make_shared<Session>(++lastId_, std::move(name), root, jobs, seed, nowMs);
  sessions_.push_back(session);
  routed_.clear();
  return session;
}

std::shared_ptr<Session> SessionTable::Find(std::uint64_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& session : sessions_) {
    if (session->id == id) return session;
  }
  return nullptr;
}

std::shared_ptr<Session> SessionTable::Named(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& session : sessions_) {
    if (!name.empty() && session->name == name) return session;
  }
  return nullptr;
}

bool SessionTable::End(std::uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = std::find_if(sessions_.begin(), sessions_.end(),
                                  [id](const auto& session) { return session->id == id; });
  if (found == sessions_.end()) return false;
  sessions_.erase(found);
  routed_.clear();
  return true;
}

bool SessionTable::Empty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_.empty();
}

std::shared_ptr<Session> SessionTable::Route(const std::vector<ProcessIdentity>& ancestry) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return RouteLocked(ancestry);
}

std::shared_ptr<Session> SessionTable::Route(
    const ProcessIdentity& caller, const std::function<std::vector<ProcessIdentity>()>& ancestry) {
  const std::pair<unsigned long, std::uint64_t> key{caller.pid, caller.created};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = routed_.find(key);
    if (found != routed_.end()) return found->second.lock();
  }
  // Walked without the lock: other callers are routed meanwhile.
  const std::vector<ProcessIdentity> chain = ancestry();
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Session> session = RouteLocked(chain);
  if (routed_.size() >= kRoutedKept) routed_.clear();
  routed_[key] = session;
  return session;
}

std::shared_ptr<Session> SessionTable::RouteLocked(
    const std::vector<ProcessIdentity>& ancestry) const {
  for (const ProcessIdentity& process : ancestry) {
    for (auto session = sessions_.rbegin(); session != sessions_.rend(); ++session) {
      if ((*session)->root == process) return *session;
    }
  }
  return nullptr;
}

}  // namespace velmora::devservice
