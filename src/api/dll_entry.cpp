// The DLL's entry point. The library keeps no state and needs no C runtime start-up, so loading
// and unloading it run nothing of their own: nothing is initialised, and no DLL is looked up or
// loaded.
#include <windows.h>

extern "C" BOOL WINAPI VelmoraDllEntry(HINSTANCE, DWORD, LPVOID) {
  return TRUE;
}
