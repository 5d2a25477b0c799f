// velmora-devservice sweep: serves the pipe itself and runs a host program once per fault at
// each of its calls (sweep_plan.h decides the runs and verdicts). Windows only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "serve/settings.h"

namespace velmora::devservice {

// The service the runs meet serves as velmora-devservice does, with these jobs and client limit.
struct SweepSettings : StackSettings {
  std::uint32_t timeoutS = 30;  // a run's time limit
  std::string faults;           // empty: the default list
  std::string calls;            // empty: the first call at each site (every call: everyCall)
  bool everyCall = false;       // fault every call, not only the first at each site
  std::string out;              // empty: sweep-YYYYMMDD-HHMMSS
  std::optional<std::uint64_t> seed;
  std::optional<std::size_t> maxRuns;  // none: kDefaultMaxRuns, unless --calls chose the calls
  bool force = false;                  // replace an earlier sweep in --out
  std::string expect;                  // an earlier report.json: the matrix to hold to
  bool persist = false;                // each fault holds from its call to the run's end
  bool allowRepeats = false;           // a repeated run does not fail the sweep
  // Runs at once, each host in a session of its own; none: DefaultParallel. Runs whose fault
  // holds the whole pipe run alone whatever this says.
  std::optional<std::size_t> parallel;
  std::vector<std::string> host;  // the program and its arguments
};

// Exit status: 0 no run crashed, hung or looped (or repeated, unless allowed), 1 one did, 2 the
// sweep could not run.
int Sweep(const SweepSettings& options);

}  // namespace velmora::devservice
