// What rules cost a request that none of them takes: the development service's own request
// path (rules, job table, journal lines) on the tools' pipe server, called through Velmora.dll
// by 16 callers at once, in rounds that alternate between no rules and 50 rules that never
// match, so that any drift of the machine falls on both alike.
//   velmora_rules_bench PATH\TO\Velmora.dll [ROUNDS]
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "frames/job_table.h"
#include "pipe_server.h"
#include "rules/planner.h"
#include "rules/rules.h"
#include "serve/service.h"

namespace {

using velmora::devservice::RuleSet;

constexpr int kCallers = 16;
constexpr int kCallsPerCaller = 250;

// Fifty rules of every kind of condition, none of which holds for StartJob(1..5) with no text.
RuleSet FiftyRulesThatNeverMatch() {
  std::string rules;
  for (int i = 0; i < 50; ++i) {
    std::string match;
    switch (i % 5) {
      case 0:
        match = "\"job\": " + std::to_string(1000 + i);
        break;
      case 1:
        match = "\"export\": \"CancelJob\"";
        break;
      case 2:
        match = "\"text\": \"re:^C:\\\\\\\\temp\\\\\\\\[a-z]+" + std::to_string(i) + "$\"";
        break;
      case 3:
        match = "\"text\": \"contains:never-" + std::to_string(i) + "\"";
        break;
      default:
        match = "\"export\": \"StartJob\", \"job\": " + std::to_string(-i);
        break;
    }
    rules += std::string(i == 0 ? "" : ",\n") + "{\"match\": {" + match +
             "}, \"do\": \"reply\", \"status\": " + std::to_string(i) + "}";
  }
  RuleSet set;
  std::string error;
  if (!velmora::devservice::ReadRules("{\"rules\": [" + rules + "]}", set, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::exit(1);
  }
  return set;
}

using StartJobFunction = int(__cdecl*)(int);

// Calls per second of one round.
double Round(StartJobFunction startJob, std::atomic<int>& failures) {
  std::vector<std::thread> callers;
  const ULONGLONG start = GetTickCount64();
  for (int t = 0; t < kCallers; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < kCallsPerCaller; ++i) {
        const int status = startJob((t + i) % 5 + 1);
        // The job table answers 0 or 5023; anything else is the transport.
        if (status != 0 && status != 5023) ++failures;
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  const double seconds = static_cast<double>(GetTickCount64() - start) / 1000.0;
  return kCallers * kCallsPerCaller / (seconds > 0 ? seconds : 0.001);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: velmora_rules_bench PATH\\TO\\Velmora.dll [ROUNDS]\n");
    return 2;
  }
  const HMODULE library = LoadLibraryA(argv[1]);
  const auto startJob = library == nullptr
                            ? nullptr
                            : reinterpret_cast<StartJobFunction>(
                                  reinterpret_cast<void*>(GetProcAddress(library, "StartJob")));
  if (startJob == nullptr) {
    std::fprintf(stderr, "cannot load StartJob from %s: error %lu\n", argv[1], GetLastError());
    return 1;
  }
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 15;

  const velmora::devservice::ServiceSettings settings;
  const int instances = 2 * kCallers + 1;
  velmora::devservice::JobTable jobs(5);
  velmora::devservice::Planner planner(RuleSet(), 1, GetTickCount64());
  std::atomic<long> lines{0};
  velmora::devservice::ServiceHooks hooks;
  hooks.ticks = [] { return GetTickCount64(); };
  hooks.utc = [] { return velmora::devservice::LogTime{2026, 12, 8, 12, 0, 0, 0}; };
  hooks.console = [&lines](std::string) { ++lines; };
  hooks.journal = [&lines](std::string) { ++lines; };
  velmora::devservice::Service service(settings, jobs, planner, hooks);
  velmora::tools::PipeServer server({instances, INFINITE, true, nullptr}, service);
  std::string error;
  if (!server.Start(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }

  const RuleSet fifty = FiftyRulesThatNeverMatch();
  std::atomic<int> failures{0};
  Round(startJob, failures);  // warm up
  std::vector<double> without, with;
  for (int round = 0; round < rounds; ++round) {
    planner.Replace(RuleSet(), 1, GetTickCount64());
    without.push_back(Round(startJob, failures));
    planner.Replace(fifty, 1, GetTickCount64());
    with.push_back(Round(startJob, failures));
  }
  // Each round with rules against the round without them just before it: drift cancels out.
  std::vector<double> ratios;
  for (std::size_t i = 0; i < with.size(); ++i) ratios.push_back(with[i] / without[i]);
  const double a = Median(without), b = Median(with);
  std::printf("%d callers, %d rounds of %d calls each way, alternating\n", kCallers, rounds,
              kCallers * kCallsPerCaller);
  std::printf("no rules:                  median %.0f calls/s\n", a);
  std::printf("50 rules, none matching:   median %.0f calls/s\n", b);
  std::printf("difference of the medians: %+.1f %%; median of the paired rounds: %+.1f %%\n",
              100.0 * (b - a) / a, 100.0 * (Median(ratios) - 1.0));
  std::printf("calls that failed in the transport: %d; lines made: %ld\n", failures.load(),
              lines.load());
  return 0;
}
