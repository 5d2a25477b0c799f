// The service itself: serves "\\.\pipe\pipe_job" until Ctrl+C, the request limit or a control
// client's stop. Its rules come from the file (read again on every write), --fault, or the
// control pipe, whichever spoke last.
#pragma once

#include "serve/settings.h"

namespace velmora::devservice {

// The process's exit status: 0 once stopped, 1 or 2 when the start was refused.
int Serve(const ServeSettings& settings);

}  // namespace velmora::devservice
