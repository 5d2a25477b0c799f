/* A host program in C, linked with the import library as hosts link it: the header's
 * declarations, the functions and nVelmora must all bind to Velmora.dll. */
#include <stdio.h>

#include "velmora.h"

int main(void) {
  int(VELMORA_CALL* volatile start_job)(int) = StartJob;
  if (StartScheduler() != 0 || StopScheduler() != 0) return 1;
  if (nVelmora != 0) return 2;
  if (start_job == NULL) return 3;
  printf("C host linked: StartScheduler() = 0, nVelmora = %d\n", nVelmora);
  return 0;
}
