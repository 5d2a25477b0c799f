// Runs the Windows tests against the Velmora.dll named on the command line:
//   velmora_windows_tests --velmora-dll=PATH --velmora-edition=3|2 [gtest flags]
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "velmora_library.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  velmora::test_support::LibraryUnderTest library;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.rfind("--velmora-dll=", 0) == 0) library.path = argument.substr(14);
    if (argument.rfind("--velmora-edition=", 0) == 0) {
      library.edition = std::atoi(argument.c_str() + 18);
    }
  }
  velmora::test_support::SetLibrary(library);
  return RUN_ALL_TESTS();
}
