// Who serves "\\.\pipe\pipe_job", and who may open the development service's instances of it.
// Windows only.
#pragma once

#include <windows.h>

#include <string>

namespace velmora::devservice {

// The process that answers a client of the pipe now: 0 when nothing serves it, kUnknownServer
// when something does but will not say which process it is (all its instances busy, say).
constexpr DWORD kUnknownServer = MAXDWORD;
DWORD ServingProcess();

// The pipe's security, made once for the process: only the user running the service, SYSTEM
// and the Administrators. nullptr when it cannot be made.
SECURITY_ATTRIBUTES* PipeSecurity();

// Who else serves the pipe, in words for a refusal ("another server (process 412)").
std::string OtherServer(bool ownInstances);

}  // namespace velmora::devservice
