/* A basic host: three calls, each returning the service's status (0 for success). Edition 3
   (StartSyncJob). */
#include <stdio.h>
#include <windows.h>

#include "velmora.h"

int main(void) {
  int status = StartJob(5); /* blocks until the service replies */
  printf("StartJob(5): %d\n", status);

  StartJobOnBoot(); /* returns nothing: its status is the thread's last error */
  printf("StartJobOnBoot: %lu\n", GetLastError());

  status = StartSyncJob(3, "C:\\in", "D:\\out"); /* sends "3;1290;C:\in|D:\out;" */
  printf("StartSyncJob(3): %d\n", status);
  return status == 0 ? 0 : 1;
}
