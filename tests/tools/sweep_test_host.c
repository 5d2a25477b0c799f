/* Hosts the sweep must cope with, by the first argument. Each call's statement is unlike any
   other, so that the optimiser cannot give two of them one return address.
     hang         makes a call, then never ends (a baseline that does not end);
     nocall       ends at once without a call;
     child FILE   starts a copy of itself that outlives it, appending to FILE every 200 ms
                  (tick FILE), then makes a call and ends;
     fewer FILE   makes two calls while FILE does not exist (and makes it), one once it does;
     untilok      calls until a call succeeds, 50 ms apart (a retry without end);
     flood N      writes N MiB to stdout, then makes a call;
     accents      names a file of 36 a's and five cp1252 e-acutes;
     sites        starts job 1 three times from one line, cancels it from another, and starts
                  job 2 from a second thread: four sites, the lines marked "site:";
     slow         starts job 1, waits 3.5 s, starts job 2;
     calls N      starts and cancels job 1 in turn, N calls from one line. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "velmora.h"

static int Tick(const char* file) {
  for (;;) {
    FILE* out = fopen(file, "a");
    if (out != NULL) {
      fputs("tick\n", out);
      fclose(out);
    }
    Sleep(200);
  }
}

static int StartChild(const char* file) {
  char self[MAX_PATH];
  char commandLine[2 * MAX_PATH + 16];
  STARTUPINFOA startup;
  PROCESS_INFORMATION child;
  GetModuleFileNameA(NULL, self, sizeof self);
  snprintf(commandLine, sizeof commandLine, "\"%s\" tick \"%s\"", self, file);
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &child)) {
    return 1;
  }
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  return 0;
}

static DWORD WINAPI SecondThread(void* unused) {
  (void)unused;
  printf("thread: StartJob(2): %d\n", StartJob(2)); /* site: thread */
  return 0;
}

static int Sites(void) {
  HANDLE thread;
  for (int i = 0; i < 3; ++i) printf("loop: StartJob(1): %d\n", StartJob(1)); /* site: loop */
  printf("once: CancelJob(1): %d\n", CancelJob(1));                           /* site: once */
  thread = CreateThread(NULL, 0, SecondThread, NULL, 0, NULL);
  if (thread == NULL) return 1;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  printf("last: StartJob(1): %d\n", StartJob(1)); /* site: last */
  return 0;
}

static int Calls(int calls) {
  for (int i = 0; i < calls; ++i) printf("%d\n", i % 2 ? CancelJob(1) : StartJob(1));
  return 0;
}

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  if (strcmp(mode, "tick") == 0 && argc > 2) return Tick(argv[2]);
  if (strcmp(mode, "nocall") == 0) return 0;
  if (strcmp(mode, "child") == 0 && argc > 2 && StartChild(argv[2]) != 0) return 1;
  if (strcmp(mode, "fewer") == 0 && argc > 2) {
    FILE* first = fopen(argv[2], "r");
    if (first != NULL) {
      fclose(first);
      printf("fewer again: StartJob(1): %d\n", StartJob(1));
      return 0;
    }
    first = fopen(argv[2], "w");
    if (first != NULL) fclose(first);
    printf("fewer: StartJob(1): %d\n", StartJob(1));
    printf("fewer: StartJob(2): %d\n", StartJob(2));
    return 0;
  }
  if (strcmp(mode, "untilok") == 0) {
    while (StartJob(1) != 0) Sleep(50);
    return 0;
  }
  if (strcmp(mode, "sites") == 0) return Sites();
  if (strcmp(mode, "calls") == 0 && argc > 2) return Calls(atoi(argv[2]));
  if (strcmp(mode, "slow") == 0) {
    printf("slow: StartJob(1): %d\n", StartJob(1));
    fflush(stdout);
    Sleep(3500);
    printf("slow: StartJob(2): %d\n", StartJob(2));
    return 0;
  }
  if (strcmp(mode, "accents") == 0) {
    printf("DeleteJobFileByName: %d\n",
           DeleteJobFileByName("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\xe9\xe9\xe9\xe9\xe9"));
    return 0;
  }
  if (strcmp(mode, "flood") == 0 && argc > 2) {
    static char block[1 << 20];
    memset(block, 'x', sizeof block);
    for (int i = atoi(argv[2]); i > 0; --i) fwrite(block, 1, sizeof block, stdout);
  }
  printf("StartJob(1): %d\n", StartJob(1));
  fflush(stdout);
  if (strcmp(mode, "hang") == 0) Sleep(INFINITE);
  return 0;
}
