/*
 * Velmora: control the jobs of the local scheduler service.
 *
 * Every function except StartScheduler and StopScheduler sends one request to the service over
 * the named pipe "\\.\pipe\pipe_job" and blocks until the service replies. The status it
 * returns is the service's own, or a Windows error code from a step of the call: opening the pipe
 * (2: no service; 231 or 121: every instance stayed busy; under Wine, 676 when the service
 * stops while the call waits for a busy instance; other codes unchanged), setting message
 * mode (87: the service's pipe is a byte pipe), writing the request (232 or 109: the service
 * closed its end first), reading the reply (109 or 233: the service closed the pipe before a
 * whole reply; 230, ERROR_BAD_PIPE: it sent more than 64 empty messages instead), or 995 when the
 * caller cancelled the thread's blocked I/O. The two kinds cannot be told apart by value. The
 * same status is stored as the calling thread's last-error value (GetLastError), which is the
 * only report of the two functions that return nothing.
 *
 * Texts are NUL-terminated strings in the caller's ANSI code page; a single text is sent cut to
 * its first 259 bytes, and no byte past those is read. Edition 2 also cuts the whole request
 * text ("job;code;text;") at 259 bytes: with a text of more than 240 to 250 bytes (it depends on
 * the job number's digits) the service gets a request without its final ";", and then without
 * the text's end. A null text pointer sends nothing and returns 87 (ERROR_INVALID_PARAMETER); a
 * pointer that is neither null nor valid faults in the calling thread, as in any C function
 * that reads it (the library does not catch the fault and send a wrong text instead).
 *
 * Waits: up to about 2 s while the service's pipe does not exist, then up to 5 s once while all
 * its instances are busy; reading the reply has no time-out. A call cancelled with
 * CancelSynchronousIo returns 995, but once its request was written the service may have acted
 * on it. Any number of threads may call at once. Edition 2 of the library lacks StartMigJob,
 * StartSyncJob and RunProcAsAdmin. Import the functions by name: the two editions number some
 * of them differently. Windows Vista or later.
 */
#ifndef VELMORA_H_
#define VELMORA_H_

#if defined(_WIN32)
#define VELMORA_CALL __cdecl
#else
#define VELMORA_CALL
#endif

#if defined(_WIN32) && !defined(VELMORA_BUILDING_LIBRARY)
#define VELMORA_IMPORT __declspec(dllimport)
#else
#define VELMORA_IMPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Contacts nobody, leaves the last error as it is, and returns 0. */
VELMORA_IMPORT int VELMORA_CALL StartScheduler(void);
/* The same function as StartScheduler under a second name. */
VELMORA_IMPORT int VELMORA_CALL StopScheduler(void);

/* Sends (job, 1279): start the job. Returns the status. */
VELMORA_IMPORT int VELMORA_CALL StartJob(int job);
/* Sends (job, 1280): restart the job. Returns the status. */
VELMORA_IMPORT int VELMORA_CALL RestartJob(int job);
/* Sends (job, 1281): cancel the job. Returns the status. */
VELMORA_IMPORT int VELMORA_CALL CancelJob(int job);
/* Sends (job, 1282): delete the job. Returns the status. */
VELMORA_IMPORT int VELMORA_CALL DeleteJob(int job);
/* Sends (job, 1283, "true" if state is non-zero, else "false"). Returns the status. */
VELMORA_IMPORT int VELMORA_CALL ChangeJobState(int job, int state);
/* Sends (-1, 1284): the start-on-boot request. Read the status with GetLastError. */
VELMORA_IMPORT void VELMORA_CALL StartJobOnBoot(void);
/* Sends (priority, 1285); the priority travels as the job number. Read the status with
 * GetLastError. */
VELMORA_IMPORT void VELMORA_CALL SetProcessPriority(int priority);
/* Sends (job, 1286): delete the job's file. Returns the status. */
VELMORA_IMPORT int VELMORA_CALL DeleteJobFile(int job);
/* Sends (-1, 1286, name): delete the file named by text. Returns the status. */
VELMORA_IMPORT int VELMORA_CALL DeleteJobFileByName(const char* name);
/* Sends (job, 1287): delete the job's profile. Returns the status. */
VELMORA_IMPORT int VELMORA_CALL DeleteJobProfile(int job);
/* Edition 3 only: a host built against edition 2 defines VELMORA_EDITION as 2 before including
 * this header (the CMake package's Edition2 target does), so that a call to one of these fails
 * when it is compiled, not when it is linked or loaded. */
#if !defined(VELMORA_EDITION) || VELMORA_EDITION >= 3 || defined(VELMORA_BUILDING_LIBRARY)
/* Sends (job, 1289, parameter): start a migration job. Returns the status. Edition 3 only. */
VELMORA_IMPORT int VELMORA_CALL StartMigJob(int job, const char* parameter);
/* Sends (job, 1290, first + "|" + second), the joined text cut to 523 bytes: start a
 * synchronisation job. Returns the status. Edition 3 only. */
VELMORA_IMPORT int VELMORA_CALL StartSyncJob(int job, const char* first, const char* second);
/* Sends (-1, 1291, commandLine): run the command line as administrator. Returns the status.
 * Edition 3 only. */
VELMORA_IMPORT int VELMORA_CALL RunProcAsAdmin(const char* commandLine);
#elif !defined(__cplusplus)
/* In C a call to an undeclared function only warns, so under edition 2 each name is a macro
 * that cannot compile, and whose error names the edition. */
#define StartMigJob(job, parameter) (sizeof(struct StartMigJob_is_in_Velmora_edition_3_only))
#define StartSyncJob(job, first, second) \
  (sizeof(struct StartSyncJob_is_in_Velmora_edition_3_only))
#define RunProcAsAdmin(commandLine) (sizeof(struct RunProcAsAdmin_is_in_Velmora_edition_3_only))
#endif

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus) && defined(VELMORA_EDITION) && VELMORA_EDITION < 3 && \
    !defined(VELMORA_BUILDING_LIBRARY)
/* Under edition 2 in C++, a call to one of these is a compile error that names the edition. */
template <typename... Arguments>
int StartMigJob(Arguments...) {
  static_assert(sizeof...(Arguments) > 99, "StartMigJob is in Velmora edition 3 only");
  return 0;
}
template <typename... Arguments>
int StartSyncJob(Arguments...) {
  static_assert(sizeof...(Arguments) > 99, "StartSyncJob is in Velmora edition 3 only");
  return 0;
}
template <typename... Arguments>
int RunProcAsAdmin(Arguments...) {
  static_assert(sizeof...(Arguments) > 99, "RunProcAsAdmin is in Velmora edition 3 only");
  return 0;
}
#endif

/*
 * nVelmora: an int exported under the name "?nVelmora@@3HA", zero at load; the library never
 * reads or writes it. Visual C++ gives a C++ global of that name this exported name by itself,
 * and C code compiled by it is pointed at that name below; MinGW binds it through
 * libVelmora.dll.a, which also offers it as plain nVelmora. GetProcAddress(module,
 * "?nVelmora@@3HA") finds it at run time.
 */
#if defined(__cplusplus) && defined(_MSC_VER) && !defined(VELMORA_BUILDING_LIBRARY)
extern VELMORA_IMPORT int nVelmora;
#elif defined(__cplusplus)
extern "C" VELMORA_IMPORT int nVelmora;
#else
extern VELMORA_IMPORT int nVelmora;
#if defined(_MSC_VER) && !defined(VELMORA_BUILDING_LIBRARY)
/* Visual C++ looks the C name up as __imp__nVelmora (x86) or __imp_nVelmora (x64); Velmora.lib
 * holds only the decorated import, so the linker is told to take that one instead. */
#if defined(_M_IX86)
#pragma comment(linker, "/alternatename:__imp__nVelmora=__imp_?nVelmora@@3HA")
#else
#pragma comment(linker, "/alternatename:__imp_nVelmora=__imp_?nVelmora@@3HA")
#endif
#endif
#endif

#endif /* VELMORA_H_ */
