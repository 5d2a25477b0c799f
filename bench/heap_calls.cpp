// Makes N StartJob calls against a stand-in service that answers at once. Run under valgrind
// with two values of N: if the heap summary does not grow with N, a call allocates nothing.
//   velmora_heap_calls N
#include <cstdio>
#include <cstdlib>

#include "system_pipes.h"
#include "velmora.h"

int main(int argc, char** argv) {
  const long calls = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10;
  long failures = 0;
  for (long i = 0; i < calls; ++i) failures += StartJob(static_cast<int>(i)) != 0;
  if (failures != 0 || velmora::test_support::InstantPipes().lastError != 0) {
    std::fprintf(stderr, "%ld of %ld calls failed\n", failures, calls);
    return 1;
  }
  return 0;
}
