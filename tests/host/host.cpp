// A host program in C++, linked with the import library: the header's declarations must give
// the same names as in C.
#include <cstdio>

#include "velmora.h"

int main() {
  if (StartScheduler() != 0 || StopScheduler() != 0) return 1;
  if (nVelmora != 0) return 2;
  int(VELMORA_CALL* volatile deleteByName)(const char*) = DeleteJobFileByName;
  if (deleteByName == nullptr) return 3;
  std::printf("C++ host linked: StartScheduler() = 0, nVelmora = %d\n", nVelmora);
  return 0;
}
