// The pipe system the exports reach in a test, benchmark or fuzz build, where the platform's is
// not linked: an instant stand-in unless a test installs one of its own.
#pragma once

#include "instant_pipe_system.h"
#include "pipe_system.h"

namespace velmora::test_support {

// The stand-in that answers every request at once; SystemPipes() gives it by default.
InstantPipeSystem& InstantPipes();
// Makes SystemPipes() give `pipes`, or the instant stand-in again for nullptr.
void UsePipes(PipeSystem* pipes);

}  // namespace velmora::test_support
