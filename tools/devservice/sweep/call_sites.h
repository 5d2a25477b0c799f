// The sweep as its host's debugger, at each call into Velmora.dll: a breakpoint on the entry of
// each of the library's exports stops the calling thread there, and its stack names the call's
// site (plan.h's CallSite). Windows only; fed the host's debug events by the run that owns them.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sweep/plan.h"

namespace velmora::devservice {

class CallSiteTracer {
 public:
  // Symbols for `process` (a debuggee); a 32-bit host under a 64-bit sweep is not traced.
  explicit CallSiteTracer(HANDLE process);
  ~CallSiteTracer();
  CallSiteTracer(const CallSiteTracer&) = delete;
  CallSiteTracer& operator=(const CallSiteTracer&) = delete;

  // A module as it loads, its file still open: its symbols, and for the library `isLibrary`
  // the breakpoints.
  void ModuleLoaded(HANDLE file, const std::wstring& path, ULONG_PTR base, bool isLibrary);
  void ThreadStarted(DWORD id, HANDLE thread);
  void ThreadEnded(DWORD id);
  // An exception in thread `id`: true when it was a breakpoint of ours or the step past one,
  // which the debuggee is to go on from (DBG_CONTINUE).
  bool Handled(DWORD id, const EXCEPTION_RECORD& record);

  // The calls into the library from outside it, in the order they entered it.
  const std::vector<CallHit>& Hits() const { return hits_; }

  // Told of each call from outside as it enters the library, the host stopped there, with its
  // index in Hits(); returning true asks for `returned` as that call leaves the library, the
  // host stopped again. One call at a time is followed out.
  using Entered = std::function<bool(std::size_t hit, const CallHit& call)>;
  using Returned = std::function<void(std::size_t hit)>;
  void Follow(Entered entered, Returned returned) {
    entered_ = std::move(entered);
    returned_ = std::move(returned);
  }

 private:
  struct Module {
    ULONG_PTR base = 0;
    DWORD size = 0;
    std::string name;         // "host.exe"
    bool library = false;     // Velmora.dll: a call from it is the library's own
    bool passedOver = false;  // the library or a system module: no call's site
  };
  struct Breakpoint {
    BYTE original = 0;
    std::string exportName;
  };

  bool IsSystemModule(const std::wstring& path) const;
  void SetBreakpoints(ULONG_PTR base);
  bool WriteCode(ULONG_PTR address, BYTE value);
  const Module* ModuleAt(ULONG_PTR address) const;
  CallSite SiteAt(ULONG_PTR returnAddress) const;
  CallSite SiteOf(HANDLE thread, CONTEXT context) const;

  HANDLE process_;
  bool traced_ = true;
  bool symbols_ = false;
  std::wstring systemFolder_;  // the Windows folder, "C:\windows\", in upper case
  std::vector<Module> modules_;
  std::map<ULONG_PTR, Breakpoint> breakpoints_;
  std::map<DWORD, HANDLE> threads_;
  std::map<DWORD, ULONG_PTR> stepping_;  // a thread stepping past a breakpoint, to set it again
  std::vector<CallHit> hits_;
  Entered entered_;
  Returned returned_;
  // The return address of the call followed out, and the thread and stack it returns to.
  struct ReturnPoint {
    ULONG_PTR address = 0;
    BYTE original = 0;
    DWORD thread = 0;
    ULONG_PTR stack = 0;  // the stack pointer above the return address, as the call returns
    std::size_t hit = 0;
  };
  std::optional<ReturnPoint> returnPoint_;
  bool Returning(DWORD id, ULONG_PTR address);
};

}  // namespace velmora::devservice
