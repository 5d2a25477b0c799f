/* A host as Visual C++ builds it, compiled as C and as C++ by clang for the MSVC target and
 * linked by lld-link against Velmora.lib. There is no C runtime or Windows SDK here: the program
 * has its own entry point and declares the few kernel32 functions it uses.
 *
 * It calls StartJob(5) once and prints what it saw; it exits with 0 when the status equals the
 * last error, nVelmora reads 0 and is the variable the DLL exports as "?nVelmora@@3HA", and
 * StartScheduler and StopScheduler return 0. The caller judges the status and the time. */
#include "velmora.h"

#ifdef __cplusplus
extern "C" {
#endif
typedef void* HANDLE;
typedef unsigned long DWORD;
__declspec(dllimport) DWORD __stdcall GetLastError(void);
__declspec(dllimport) void __stdcall SetLastError(DWORD code);
__declspec(dllimport) DWORD __stdcall GetTickCount(void);
__declspec(dllimport) HANDLE __stdcall GetModuleHandleA(const char* name);
__declspec(dllimport) void* __stdcall GetProcAddress(HANDLE module, const char* name);
__declspec(dllimport) HANDLE __stdcall GetStdHandle(DWORD which);
__declspec(dllimport) int __stdcall WriteFile(HANDLE file, const void* data, DWORD size,
                                              DWORD* written, void* overlapped);
__declspec(dllimport) void __stdcall ExitProcess(unsigned code);
#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#define LANGUAGE "C++"
#else
#define LANGUAGE "C"
#endif

static char line[160];
static unsigned length;

static void Put(const char* text) {
  while (*text != '\0' && length < sizeof line) line[length++] = *text++;
}

static void PutNumber(long value) {
  char digits[12];
  int count = 0;
  unsigned long magnitude = value < 0 ? 0ul - (unsigned long)value : (unsigned long)value;
  if (value < 0) Put("-");
  do {
    digits[count++] = (char)('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  while (count > 0 && length < sizeof line) line[length++] = digits[--count];
}

#ifdef __cplusplus
extern "C" void HostMain(void);
#endif

void HostMain(void) {
  const DWORD start = GetTickCount();
  SetLastError(12345);
  const int status = StartJob(5);
  const DWORD lastError = GetLastError();
  const DWORD elapsed = GetTickCount() - start;
  const int* exported =
      (const int*)GetProcAddress(GetModuleHandleA("Velmora.dll"), "?nVelmora@@3HA");
  const int sameVariable = exported == &nVelmora;
  const int schedulerCalls = StartScheduler() == 0 && StopScheduler() == 0;
  DWORD written = 0;

  Put(LANGUAGE " host: StartJob(5) = ");
  PutNumber(status);
  Put(", GetLastError = ");
  PutNumber((long)lastError);
  Put(", ms = ");
  PutNumber((long)elapsed);
  Put(", nVelmora = ");
  PutNumber(nVelmora);
  Put(sameVariable ? " at the exported address" : " NOT at the exported address");
  Put(schedulerCalls ? "\n" : ", scheduler calls failed\n");
  WriteFile(GetStdHandle((DWORD)-11), line, length, &written, 0);
  ExitProcess((DWORD)status == lastError && nVelmora == 0 && sameVariable && schedulerCalls ? 0
                                                                                            : 1);
}
