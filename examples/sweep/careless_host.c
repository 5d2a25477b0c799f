/* A host whose failure handling is incomplete on purpose, to show what
   `velmora-devservice sweep -- careless_host.exe` finds: it crashes when a job is not found
   (1168), hangs when the service was busy (121), and takes every other failure for success. */
#include <stdio.h>
#include <windows.h>

#include "velmora.h"

static void Check(const char* call, int status) {
  printf("%s: %d\n", call, status);
  (void)fflush(stdout);
  if (status == 1168) {
    /* "No such job": the job's record it looks up was never made. */
    volatile int* record = NULL;
    /* cppcheck-suppress nullPointer ; the crash this host is there to show */
    *record = status; /* NOLINT(clang-analyzer-core.NullDereference): as above */
  }
  if (status == 121) {
    /* "Busy": waits for the service to call back, which it never does. */
    for (;;) Sleep(1000);
  }
  /* Anything else is taken for success. */
}

int main(void) {
  Check("StartJob(5)", StartJob(5));
  Check("CancelJob(5)", CancelJob(5));
  return 0;
}
