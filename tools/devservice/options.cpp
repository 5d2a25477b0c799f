#include "options.h"

#include <CLI/CLI.hpp>

#include "decimal.h"
#include "job_table.h"

namespace velmora::devservice {
namespace {

// A whole decimal number from `minimum` to `maximum`; nothing else, not even an empty text.
CLI::Validator Whole(long long minimum, long long maximum) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        long long value = 0;
        if (tools::ParseDecimal(text, value) && value >= minimum && value <= maximum) return "";
        return "needs a whole number from " + std::to_string(minimum) + " to " +
               std::to_string(maximum) + ", not \"" + text + "\"";
      },
      "N");
}

constexpr const char* kDescription = "Serves \\\\.\\pipe\\pipe_job for Velmora.dll until Ctrl+C.";

void Declare(CLI::App& app, Options& options, bool& version) {
  app.footer(
      "Statuses: 0, 1168 no such job, 5023 not in a state for the command, 87 malformed\n"
      "request or unknown command, 1816 the job table is full (100000 jobs).");
  app.add_flag("--version", version, "print the version and exit");
  app.add_option("--instances", options.instances,
                 "pipe instances, all listening from the start (default 255)")
      ->check(Whole(1, kMaxInstances));
  app.add_flag_callback(
      "--single", [&options] { options.instances = 1; },
      "one instance, so concurrent callers meet the busy path");
  app.add_option("--jobs", options.jobs, "jobs 1..N exist at start, idle (default 5)")
      ->check(Whole(0, kMaxJobs));
  app.add_option("--delay", options.delayMs, "wait this long before each reply")
      ->type_name("MS")
      ->check(Whole(0, 3600000));
  app.add_flag("--hangup", options.hangUp, "close each connection before replying");
  app.add_option("--client-timeout", options.clientTimeoutMs,
                 "the time a client has from connecting to closing, besides --delay; a client "
                 "still connected then is disconnected (default 3000)")
      ->type_name("MS")
      ->check(Whole(100, 600000));
  app.add_option("--max-requests", options.maxRequests,
                 "carry out N requests, reply to each, and exit")
      ->check(Whole(1, 2147483647));
  app.add_option("--log", options.logFile, "also append each request to FILE as a JSON line")
      ->type_name("FILE")
      ->check(CLI::Validator(
          [](std::string& file) { return file.empty() ? std::string("needs a file name") : ""; },
          ""));
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
  // Windows' own way to ask for help, as jobctl takes it.
  if (!args.empty() && args[0] == "/?") {
    options.action = Options::Action::kHelp;
    return true;
  }
  CLI::App app{kDescription, "velmora-devservice"};
  bool version = false;
  Declare(app, options, version);
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    options.action = Options::Action::kHelp;
    return true;
  } catch (const CLI::ParseError& e) {
    error = e.what();
    return false;
  }
  if (version) options.action = Options::Action::kVersion;
  return true;
}

std::string UsageText() {
  CLI::App app{kDescription, "velmora-devservice"};
  Options options;
  bool version = false;
  Declare(app, options, version);
  return app.help();
}

}  // namespace velmora::devservice
