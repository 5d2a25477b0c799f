/* A host program linked through the installed package: it calls the library through its
   import library, binds nVelmora, and checks which edition it was given. */
#include <stdio.h>
#include <windows.h>

#include "velmora.h"

int main(void) {
  HMODULE library = GetModuleHandleA("Velmora.dll");
  int hasSync = library != NULL && GetProcAddress(library, "StartSyncJob") != NULL;
  int edition = hasSync ? 3 : 2;
  SetLastError(1234);
  if (StartScheduler() != 0 || StopScheduler() != 0 || GetLastError() != 1234) {
    printf("FAIL: the scheduler calls\n");
    return 1;
  }
  if (nVelmora != 0) {
    printf("FAIL: nVelmora is %d\n", nVelmora);
    return 1;
  }
  if (edition != EXPECTED_EDITION) {
    printf("FAIL: linked edition %d, expected %d\n", edition, EXPECTED_EDITION);
    return 1;
  }
  /* No service runs during this test: the call gives up after about two seconds. */
  if (StartJob(5) != ERROR_FILE_NOT_FOUND || GetLastError() != ERROR_FILE_NOT_FOUND) {
    printf("FAIL: StartJob without a service\n");
    return 1;
  }
  printf("consumer: edition %d linked and working\n", edition);
  return 0;
}
