// Who serves "\\.\pipe\pipe_job", and who may open the development service's instances of it.
// Windows only.
#pragma once

#include <windows.h>

namespace velmora::devservice {

// The process that answers a client of the pipe now: 0 when nothing serves it, kUnknownServer
// when something does but will not say which process it is (all its instances busy, say).
constexpr DWORD kUnknownServer = MAXDWORD;
DWORD ServingProcess();

// The pipe's security: only the user running the service, SYSTEM and the Administrators.
class PipeSecurityAttributes {
 public:
  PipeSecurityAttributes();
  ~PipeSecurityAttributes();
  PipeSecurityAttributes(const PipeSecurityAttributes&) = delete;
  PipeSecurityAttributes& operator=(const PipeSecurityAttributes&) = delete;
  // nullptr when the descriptor could not be made.
  SECURITY_ATTRIBUTES* Get() { return descriptor_ != nullptr ? &attributes_ : nullptr; }

 private:
  void* descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace velmora::devservice
