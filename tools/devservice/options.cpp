#include "options.h"

#include <cstdlib>

namespace velmora::devservice {

const char kUsage[] =
    "usage: velmora-devservice [options]\n"
    "Serves \\\\.\\pipe\\pipe_job for Velmora.dll until Ctrl+C.\n"
    "  --instances N     pipe instances (default: added as needed)\n"
    "  --single          one instance, so concurrent callers meet the busy path\n"
    "  --jobs N          jobs 1..N exist at start, idle (default 5)\n"
    "  --delay MS        wait this long before each reply\n"
    "  --hangup          close each connection before replying\n"
    "  --max-requests N  exit after N requests\n"
    "  --log FILE        also append each request to FILE as a JSON line\n";

bool ParseOptions(const std::vector<std::string>& args, Options& options) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    auto number = [&](long minimum, long& value) {
      if (!hasValue) return false;
      const std::string& text = args[++i];
      char* end = nullptr;
      value = std::strtol(text.c_str(), &end, 10);
      return *end == '\0' && value >= minimum;
    };
    long value = 0;
    if (arg == "--instances" && number(1, value) && value <= kMaxInstances) {
      options.instances = static_cast<int>(value);
    } else if (arg == "--single") {
      options.instances = 1;
    } else if (arg == "--jobs" && number(0, value) && value <= 100000) {
      options.jobs = static_cast<int>(value);
    } else if (arg == "--delay" && number(0, value)) {
      options.delayMs = static_cast<std::uint32_t>(value);
    } else if (arg == "--hangup") {
      options.hangUp = true;
    } else if (arg == "--max-requests" && number(1, value)) {
      options.maxRequests = value;
    } else if (arg == "--log" && hasValue) {
      options.logFile = args[++i];
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace velmora::devservice
