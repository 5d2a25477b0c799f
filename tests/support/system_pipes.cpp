#include "system_pipes.h"

namespace velmora {
namespace test_support {

static PipeSystem* gInstalled = nullptr;

InstantPipeSystem& InstantPipes() {
  static InstantPipeSystem pipes;
  return pipes;
}

void UsePipes(PipeSystem* pipes) {
  gInstalled = pipes;
}

}  // namespace test_support

PipeSystem& SystemPipes() {
  return test_support::gInstalled != nullptr ? *test_support::gInstalled
                                             : test_support::InstantPipes();
}

}  // namespace velmora
