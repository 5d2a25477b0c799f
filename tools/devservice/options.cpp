#include "options.h"

#include <cerrno>
#include <cstdlib>

#include "job_table.h"

namespace velmora::devservice {
namespace {

// A whole decimal number from `minimum` to `maximum`; nothing else, not even an empty text.
bool ParseWhole(const std::string& text, long long minimum, long long maximum, long long& value) {
  if (text.empty() || text.find_first_not_of("0123456789-") != std::string::npos) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoll(text.c_str(), &end, 10);
  return *end == '\0' && errno == 0 && value >= minimum && value <= maximum;
}

}  // namespace

const char kUsage[] =
    "usage: velmora-devservice [options]\n"
    "Serves \\\\.\\pipe\\pipe_job for Velmora.dll until Ctrl+C.\n"
    "  --instances N          pipe instances, 1 to 255 (default: added as needed)\n"
    "  --single               one instance, so concurrent callers meet the busy path\n"
    "  --jobs N               jobs 1..N exist at start, idle, 0 to 100000 (default 5)\n"
    "  --delay MS             wait this long before each reply, 0 to 3600000\n"
    "  --hangup               close each connection before replying\n"
    "  --client-timeout MS    disconnect a client that has not sent its whole request, or not\n"
    "                         closed after the reply, within MS, 100 to 600000 (default 3000)\n"
    "  --max-requests N       exit after N requests, 1 or more\n"
    "  --log FILE             also append each request to FILE as a JSON line\n"
    "  --version              print the version and exit\n"
    "Statuses: 0, 1168 no such job, 5023 not in a state for the command, 87 malformed\n"
    "request or unknown command, 1816 the job table is full (100000 jobs).\n";

bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // Reads the flag's value into `value`; false, with the error said, when it is not a whole
    // number within the limits.
    auto whole = [&](long long minimum, long long maximum, const char* range, long long& value) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a whole number " + range;
        return false;
      }
      const std::string& text = args[++i];
      if (ParseWhole(text, minimum, maximum, value)) return true;
      error = arg + " needs a whole number " + range + ", not \"" + text + "\"";
      return false;
    };
    long long value = 0;
    if (arg == "--help" || arg == "-h" || arg == "/?") {
      options.action = Options::Action::kHelp;
    } else if (arg == "--version") {
      options.action = Options::Action::kVersion;
    } else if (arg == "--instances") {
      if (!whole(1, kMaxInstances, "from 1 to 255", value)) return false;
      options.instances = static_cast<int>(value);
    } else if (arg == "--single") {
      options.instances = 1;
    } else if (arg == "--jobs") {
      if (!whole(0, kMaxJobs, "from 0 to 100000", value)) return false;
      options.jobs = static_cast<int>(value);
    } else if (arg == "--delay") {
      if (!whole(0, 3600000, "of milliseconds from 0 to 3600000", value)) return false;
      options.delayMs = static_cast<std::uint32_t>(value);
    } else if (arg == "--client-timeout") {
      if (!whole(100, 600000, "of milliseconds from 100 to 600000", value)) return false;
      options.clientTimeoutMs = static_cast<std::uint32_t>(value);
    } else if (arg == "--hangup") {
      options.hangUp = true;
    } else if (arg == "--max-requests") {
      if (!whole(1, 2147483647, "from 1 to 2147483647", value)) return false;
      options.maxRequests = static_cast<long>(value);
    } else if (arg == "--log") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        error = "--log needs a file name";
        return false;
      }
      options.logFile = args[++i];
    } else {
      error = "unknown option \"" + arg + "\"";
      return false;
    }
  }
  return true;
}

}  // namespace velmora::devservice
