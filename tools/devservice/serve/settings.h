// What the serving stack is set up with, from the command line or the sweep: plain values, so
// that the command line is read and tested apart from any platform call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velmora::devservice {

// The most instances a named pipe can have.
constexpr int kMaxInstances = 255;

// How the service answers when no rule takes a request.
struct ServiceSettings {
  int jobs = 5;               // jobs 1..jobs, idle at the start
  std::uint32_t delayMs = 0;  // every reply this late
  bool hangUp = false;        // every connection closed before its reply
  long maxRequests = 0;       // carried out before the service stops; 0: no limit
};

struct StackSettings : ServiceSettings {
  int instances = kMaxInstances;
  // How long a client may take to send its whole request, and to close once it has the reply.
  std::uint32_t clientTimeoutMs = 3000;
};

// velmora-devservice itself.
struct ServeSettings : StackSettings {
  std::string logFile;    // the journal file; empty: none
  std::string rulesFile;  // UTF-8
  std::string fault;      // a preset rule instead of a file
  std::optional<std::uint64_t> seed;
  std::string controlPipe;  // empty: the default name
  bool noControl = false;
};

}  // namespace velmora::devservice
