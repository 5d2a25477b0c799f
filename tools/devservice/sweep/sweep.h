// velmora-devservice sweep: serves the pipe itself and runs a host program once per fault at
// each of its calls (sweep_plan.h decides the runs and verdicts). Windows only.
#pragma once
#include "cli/options.h"

namespace velmora::devservice {

// Exit status: 0 no run crashed or hung, 1 one did, 2 the sweep could not run.
int Sweep(const SweepOptions& options);

}  // namespace velmora::devservice
