/* A host that handles every status, to show what a clean sweep looks like: it repeats a call
   whose request was not sent, and one that may have acted, since both calls are safe to repeat
   (a second StartJob or CancelJob of the same job answers 5023: done already). Any other
   failure ends it with an exit code that says which call failed. */
#include <stdio.h>
#include <windows.h>

#include "velmora.h"

static int Unanswered(int status) {
  switch (status) {
    case 2:   /* no service listens */
    case 121: /* busy, after the library's wait */
    case 231: /* busy */
    case 232: /* closed before the request was written */
    case 676: /* under Wine: the pipe went while the call waited for it */
    case 109: /* hung up, maybe after reading the request */
    case 230: /* empty messages instead of a reply */
    case 233: /* hung up */
      return 1;
    default:
      return 0;
  }
}

/* The call's status once it has an answer: 0 done, else the service's reason. */
static int Call(const char* name, int (*call)(int), int job) {
  int retried = 0;
  for (int attempt = 1; attempt <= 4; ++attempt) {
    const int status = call(job);
    printf("%s(%d), attempt %d: %d\n", name, job, attempt, status);
    (void)fflush(stdout);
    if (!Unanswered(status)) return retried && status == 5023 ? 0 : status;
    retried = 1;
    Sleep(200);
  }
  return -1;
}

int main(void) {
  if (Call("StartJob", StartJob, 5) != 0) return 2;
  if (Call("CancelJob", CancelJob, 5) != 0) return 3;
  return 0;
}
