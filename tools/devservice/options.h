// velmora-devservice's command line, apart from any platform call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::devservice {

// The most instances a named pipe can have.
constexpr int kMaxInstances = 255;

struct Options {
  int instances = 0;  // 0: added as needed
  int jobs = 5;
  std::uint32_t delayMs = 0;
  bool hangUp = false;
  long maxRequests = 0;  // 0: no limit
  std::string logFile;
};

// Reads the arguments after the program name; false when they are not understood.
bool ParseOptions(const std::vector<std::string>& args, Options& options);

extern const char kUsage[];

}  // namespace velmora::devservice
