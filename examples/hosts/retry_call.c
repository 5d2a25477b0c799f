/* Starts a job, repeating the call only while nothing was sent: retry_call JOB.
   A status that says the request never reached the service is safe to repeat. Once the request
   was written, the service may have acted on it even though no reply came back: repeating
   StartJob then could start the job twice, so the host must find out instead of retrying.
   Exit: 0 started, 1 the service refused, 2 it may have acted, 3 it never took the request. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "velmora.h"

enum Outcome { kDone, kNotSent, kMayHaveActed };

static enum Outcome Classify(int status) {
  switch (status) {
    case ERROR_FILE_NOT_FOUND: /* 2: no service listens */
    case ERROR_PIPE_BUSY:      /* 231: every instance stayed busy */
    case ERROR_SEM_TIMEOUT:    /* 121: likewise, after the one busy wait */
    case ERROR_NO_DATA:        /* 232: the service closed before the request was written */
    case 676:                  /* under Wine: the service stopped during the busy wait */
      return kNotSent;
    case ERROR_BROKEN_PIPE:        /* 109: hung up, before or after reading the request */
    case ERROR_PIPE_NOT_CONNECTED: /* 233: likewise */
    case ERROR_BAD_PIPE:           /* 230: empty messages instead of a reply */
    case ERROR_OPERATION_ABORTED:  /* 995: the call was cancelled while it waited */
      return kMayHaveActed;
    default:
      return kDone; /* the service's own status: 0, or why it refused */
  }
}

int main(int argc, char** argv) {
  const int job = argc > 1 ? atoi(argv[1]) : 5;
  int status = 0;
  for (int attempt = 1; attempt <= 4; ++attempt) {
    status = StartJob(job);
    switch (Classify(status)) {
      case kDone:
        printf("StartJob(%d): %d after %d attempt(s)\n", job, status, attempt);
        return status == 0 ? 0 : 1;
      case kMayHaveActed:
        printf("StartJob(%d): %d, the service may have acted: not repeated\n", job, status);
        return 2;
      case kNotSent:
        printf("StartJob(%d): %d, not sent: trying again\n", job, status);
        Sleep(500u * attempt);
        break;
    }
  }
  printf("StartJob(%d): %d, never sent\n", job, status);
  return 3;
}
