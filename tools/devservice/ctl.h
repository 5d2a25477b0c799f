// `velmora-devservice ctl`: sends one operation to a running service's control pipe, prints the
// answer and exits 0 (done; verify: agrees), 1 (refused; verify: does not agree) or 2 (no
// service answers, or the answer is not understood).
#pragma once

#include "options.h"

namespace velmora::devservice {

int Control(const ControlOptions& options);

}  // namespace velmora::devservice
