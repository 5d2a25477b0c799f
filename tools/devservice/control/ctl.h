// `velmora-devservice ctl`: sends one operation to a running service's control pipe, prints the
// answer and exits 0 (done; verify: agrees), 1 (refused; verify: does not agree), 2 (no
// service answers, or the answer is not understood) or kControlCannotRun.
#pragma once

#include "control/control.h"

namespace velmora::devservice {

// ctl's own mistakes: its options, or a file it cannot read.
constexpr int kControlCannotRun = 3;

int Control(const ControlOptions& options);

}  // namespace velmora::devservice
