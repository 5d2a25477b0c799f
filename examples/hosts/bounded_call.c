/* Calls StartJob(5), giving it at most MS milliseconds (default 10000): bounded_call [MS].
   Reading the reply has no time-out of its own, so the call runs on a worker thread whose
   blocked pipe I/O is cancelled when the time is up; the call then returns 995. */
#define _WIN32_WINNT 0x0600 /* CancelSynchronousIo: Windows Vista and later */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "velmora.h"

static DWORD WINAPI CallStartJob(void* status) {
  *(int*)status = StartJob(5);
  return 0;
}

int main(int argc, char** argv) {
  const DWORD limit = argc > 1 ? (DWORD)strtoul(argv[1], NULL, 10) : 10000;
  int status = 0;
  HANDLE worker = CreateThread(NULL, 0, CallStartJob, &status, 0, NULL);
  if (worker == NULL) return 1;
  if (WaitForSingleObject(worker, limit) == WAIT_TIMEOUT) {
    /* A call sleeping between connect attempts has no I/O to cancel: try until it returns. */
    do CancelSynchronousIo(worker);
    while (WaitForSingleObject(worker, 50) == WAIT_TIMEOUT);
  }
  CloseHandle(worker);
  /* 995 when cancelled: the request may have been written, and the job started all the same */
  printf("StartJob(5): %d\n", status);
  return status == 0 ? 0 : 1;
}
