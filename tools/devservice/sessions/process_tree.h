// Which processes a request comes from, as plain code: a process and its ancestors, each named
// by its ID and its creation time, since the system hands an ended process's ID to the next.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace velmora::devservice {

struct ProcessIdentity {
  unsigned long pid = 0;
  std::uint64_t created = 0;  // FILETIME ticks
  bool operator==(const ProcessIdentity& other) const {
    return pid == other.pid && created == other.created;
  }
};

// What the system says of one running process.
struct ProcessRecord {
  unsigned long parent = 0;
  std::uint64_t created = 0;
};

using ProcessLookup = std::function<std::optional<ProcessRecord>(unsigned long pid)>;

// Deeper trees than this are not followed: a loop of records cannot hold the caller up.
constexpr std::size_t kMaxAncestry = 64;

// `pid` and its ancestors, nearest first. The walk stops at a process the lookup does not know
// (it has ended) and at a parent ID created after its child, which is another process that
// took the ended parent's ID.
std::vector<ProcessIdentity> Ancestry(unsigned long pid, const ProcessLookup& lookup);

// The running system's lookup, and a process's identity now (none: no such process). Windows
// only.
ProcessLookup SystemProcesses();
std::optional<ProcessIdentity> IdentifyProcess(unsigned long pid);

}  // namespace velmora::devservice
