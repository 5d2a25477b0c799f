#include "sweep/call_sites.h"

#include <dbghelp.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>

#include "export_table.h"
#include "wide_text.h"

namespace velmora::devservice {
namespace {

constexpr BYTE kInt3 = 0xCC;
constexpr DWORD kTrapFlag = 0x100;
constexpr int kMostFrames = 64;
constexpr DWORD kMostExports = 4096;

#ifdef _WIN64
constexpr DWORD kMachine = IMAGE_FILE_MACHINE_AMD64;
DWORD64 Ip(const CONTEXT& context) {
  return context.Rip;
}
void SetIp(CONTEXT& context, ULONG_PTR address) {
  context.Rip = address;
}
DWORD64 StackPointer(const CONTEXT& context) {
  return context.Rsp;
}
DWORD64 FramePointer(const CONTEXT& context) {
  return context.Rbp;
}
#else
constexpr DWORD kMachine = IMAGE_FILE_MACHINE_I386;
DWORD Ip(const CONTEXT& context) {
  return context.Eip;
}
void SetIp(CONTEXT& context, ULONG_PTR address) {
  context.Eip = address;
}
DWORD StackPointer(const CONTEXT& context) {
  return context.Esp;
}
DWORD FramePointer(const CONTEXT& context) {
  return context.Ebp;
}
#endif

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

// A path without the "\\?\" that GetFinalPathNameByHandle puts before it.
std::wstring PlainPath(const std::wstring& path) {
  return path.compare(0, 4, L"\\\\?\\") == 0 ? path.substr(4) : path;
}

std::string Utf8(const std::wstring& wide) {
  std::string text, problem;
  tools::Utf8FromWide(wide, text, problem);
  return text;
}

// An address in the debuggee, as the memory functions take it.
void* Remote(ULONG_PTR address) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the address is the debuggee's, never ours.
  return reinterpret_cast<void*>(address);
}

template <typename T>
bool ReadFrom(HANDLE process, ULONG_PTR address, T& value) {
  SIZE_T read = 0;
  return ReadProcessMemory(process, Remote(address), &value, sizeof value, &read) &&
         read == sizeof value;
}

// The image's headers, read from the debuggee; false where they are not a PE image's of the
// sweep's own architecture.
bool ReadHeaders(HANDLE process, ULONG_PTR base, IMAGE_NT_HEADERS& headers) {
  IMAGE_DOS_HEADER dos{};
  return ReadFrom(process, base, dos) && dos.e_magic == IMAGE_DOS_SIGNATURE &&
         ReadFrom(process, base + static_cast<ULONG_PTR>(dos.e_lfanew), headers) &&
         headers.Signature == IMAGE_NT_SIGNATURE && headers.FileHeader.Machine == kMachine;
}

// dbghelp's inline-frame lookups (Windows 8 on, and Wine), found at run time: the import
// library does not name them.
struct InlineLookup {
  using Trace = BOOL(WINAPI*)(HANDLE, DWORD64, DWORD, DWORD64, DWORD64, DWORD*, DWORD*);
  using Line = BOOL(WINAPI*)(HANDLE, DWORD64, ULONG, DWORD64, DWORD*, IMAGEHLP_LINEW64*);
  using Symbol = BOOL(WINAPI*)(HANDLE, DWORD64, ULONG, DWORD64*, SYMBOL_INFOW*);
  Trace trace = nullptr;
  Line line = nullptr;
  Symbol symbol = nullptr;
};

template <typename T>
T Function(HMODULE module, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const InlineLookup& Inlined() {
  static const InlineLookup lookup = [] {
    InlineLookup found;
    const HMODULE dbghelp = GetModuleHandleW(L"dbghelp.dll");
    if (dbghelp == nullptr) return found;
    found.line = Function<InlineLookup::Line>(dbghelp, "SymGetLineFromInlineContextW");
    found.symbol = Function<InlineLookup::Symbol>(dbghelp, "SymFromInlineContextW");
    if (found.line != nullptr && found.symbol != nullptr) {
      found.trace = Function<InlineLookup::Trace>(dbghelp, "SymQueryInlineTrace");
    }
    return found;
  }();
  return lookup;
}

}  // namespace

CallSiteTracer::CallSiteTracer(HANDLE process) : process_(process) {
#ifdef _WIN64
  // A 32-bit host's code runs under WOW64, whose threads this sweep's contexts do not describe.
  BOOL wow64 = FALSE;
  traced_ = IsWow64Process(process, &wow64) && !wow64;
#endif
  wchar_t folder[MAX_PATH];
  const UINT length = GetWindowsDirectoryW(folder, MAX_PATH);
  if (length > 0 && length < MAX_PATH) systemFolder_ = Upper(std::wstring(folder, length) + L"\\");
  if (!traced_) return;
  SymSetOptions(SYMOPT_LOAD_LINES | SYMOPT_UNDNAME | SYMOPT_FAIL_CRITICAL_ERRORS |
                SYMOPT_NO_PROMPTS);
  symbols_ = SymInitializeW(process_, nullptr, FALSE) != FALSE;
}

CallSiteTracer::~CallSiteTracer() {
  if (symbols_) SymCleanup(process_);
}

void CallSiteTracer::ModuleLoaded(HANDLE file, const std::wstring& path, ULONG_PTR base,
                                  bool isLibrary) {
  IMAGE_NT_HEADERS headers{};
  if (!traced_ || !ReadHeaders(process_, base, headers)) return;
  const std::wstring plain = PlainPath(path);
  Module module;
  module.base = base;
  module.size = headers.OptionalHeader.SizeOfImage;
  module.name = Utf8(plain.substr(plain.find_last_of(L"\\/") + 1));
  module.library = isLibrary;
  module.passedOver = isLibrary || IsSystemModule(plain);
  modules_.push_back(module);
  if (symbols_) {
    SymLoadModuleExW(process_, file, plain.c_str(), nullptr, base, module.size, nullptr, 0);
  }
  if (isLibrary) SetBreakpoints(base);
}

bool CallSiteTracer::IsSystemModule(const std::wstring& path) const {
  if (systemFolder_.empty()) return false;
  if (Upper(path).compare(0, systemFolder_.size(), systemFolder_) == 0) return true;
  // Wine loads its own DLLs from its library folder, with a stand-in of each in the system
  // folder: a module by the name of one there is the system's.
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
  return GetFileAttributesW((std::wstring(system, length) + L"\\" + name).c_str()) !=
         INVALID_FILE_ATTRIBUTES;
}

void CallSiteTracer::SetBreakpoints(ULONG_PTR base) {
  IMAGE_NT_HEADERS headers{};
  if (!ReadHeaders(process_, base, headers)) return;
  const IMAGE_DATA_DIRECTORY& directory =
      headers.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  IMAGE_EXPORT_DIRECTORY exports{};
  if (directory.Size == 0 || !ReadFrom(process_, base + directory.VirtualAddress, exports)) return;
  for (DWORD i = 0; i < exports.NumberOfNames && i < kMostExports; ++i) {
    DWORD nameRva = 0, functionRva = 0;
    WORD ordinal = 0;
    const ULONG_PTR index = i;
    if (!ReadFrom(process_, base + exports.AddressOfNames + index * 4, nameRva) ||
        !ReadFrom(process_, base + exports.AddressOfNameOrdinals + index * 2, ordinal) ||
        ordinal >= exports.NumberOfFunctions ||
        !ReadFrom(process_, base + exports.AddressOfFunctions + ULONG_PTR{ordinal} * 4,
                  functionRva)) {
      continue;
    }
    std::string name;
    for (char c = 0;
         name.size() < 64 && ReadFrom(process_, base + nameRva + name.size(), c) && c;) {
      name += c;
    }
    // Only the functions the library is known to export: its data has no entry to stop at.
    if (tools::ExportNamed(name) == nullptr) continue;
    const ULONG_PTR address = base + functionRva;
    Breakpoint point;
    point.exportName = name;
    if (ReadFrom(process_, address, point.original) && WriteCode(address, kInt3)) {
      breakpoints_[address] = point;
    }
  }
}

bool CallSiteTracer::WriteCode(ULONG_PTR address, BYTE value) {
  void* at = Remote(address);
  DWORD was = 0;
  if (!VirtualProtectEx(process_, at, 1, PAGE_EXECUTE_READWRITE, &was)) return false;
  SIZE_T written = 0;
  const bool ok = WriteProcessMemory(process_, at, &value, 1, &written) && written == 1;
  VirtualProtectEx(process_, at, 1, was, &was);
  FlushInstructionCache(process_, at, 1);
  return ok;
}

void CallSiteTracer::ThreadStarted(DWORD id, HANDLE thread) {
  threads_[id] = thread;
}

void CallSiteTracer::ThreadEnded(DWORD id) {
  threads_.erase(id);
  stepping_.erase(id);
}

bool CallSiteTracer::Handled(DWORD id, const EXCEPTION_RECORD& record) {
  if (record.ExceptionCode == EXCEPTION_SINGLE_STEP) {
    // Past the instruction the breakpoint stood in for: set it again.
    const auto stepping = stepping_.find(id);
    if (stepping == stepping_.end()) return false;
    const ULONG_PTR address = stepping->second;
    stepping_.erase(stepping);
    // Unless it was a return point whose call has returned meanwhile.
    if (breakpoints_.count(address) != 0 || (returnPoint_ && returnPoint_->address == address)) {
      WriteCode(address, kInt3);
    }
    return true;
  }
  const auto address = reinterpret_cast<ULONG_PTR>(record.ExceptionAddress);
  if (record.ExceptionCode == EXCEPTION_BREAKPOINT && Returning(id, address)) return true;
  const auto point = breakpoints_.find(address);
  const auto thread = threads_.find(id);
  if (record.ExceptionCode != EXCEPTION_BREAKPOINT || point == breakpoints_.end() ||
      thread == threads_.end()) {
    return false;
  }
  CONTEXT context{};
  context.ContextFlags = CONTEXT_FULL;
  if (!GetThreadContext(thread->second, &context)) return false;
  SetIp(context, address);  // back onto the export's first instruction
  ULONG_PTR returnAddress = 0;
  const Module* caller =
      ReadFrom(process_, StackPointer(context), returnAddress) ? ModuleAt(returnAddress) : nullptr;
  // A call the library makes to its own export is part of the host's call, not one of its own.
  if (caller == nullptr || !caller->library) {
    hits_.push_back({point->second.exportName, id, SiteOf(thread->second, context)});
    const std::size_t hit = hits_.size() - 1;
    ReturnPoint back;
    back.address = returnAddress;
    back.thread = id;
    back.stack = static_cast<ULONG_PTR>(StackPointer(context)) + sizeof(ULONG_PTR);
    back.hit = hit;
    // Where the return point cannot be set, the call is not seen to return: a window it opened
    // stays open, and the calls it reaches say so.
    if (entered_ && entered_(hit, hits_.back()) && !returnPoint_ &&
        ReadFrom(process_, returnAddress, back.original) && WriteCode(returnAddress, kInt3)) {
      returnPoint_ = back;
    }
  }
  // The original instruction runs once, one step, and the breakpoint is set again after it.
  WriteCode(address, point->second.original);
  context.EFlags |= kTrapFlag;
  SetThreadContext(thread->second, &context);
  stepping_[id] = address;
  return true;
}

bool CallSiteTracer::Returning(DWORD id, ULONG_PTR address) {
  if (!returnPoint_ || returnPoint_->address != address) return false;
  const auto thread = threads_.find(id);
  CONTEXT context{};
  context.ContextFlags = CONTEXT_FULL;
  if (thread == threads_.end() || !GetThreadContext(thread->second, &context)) return false;
  SetIp(context, address);
  // The followed call is back once its own thread reaches the return address with the stack as
  // it was; another thread there, or a deeper call of the same code, steps past it.
  if (id == returnPoint_->thread &&
      static_cast<ULONG_PTR>(StackPointer(context)) >= returnPoint_->stack) {
    const ReturnPoint back = *returnPoint_;
    returnPoint_.reset();
    WriteCode(address, back.original);
    SetThreadContext(thread->second, &context);
    if (returned_) returned_(back.hit);
    return true;
  }
  WriteCode(address, returnPoint_->original);
  context.EFlags |= kTrapFlag;
  SetThreadContext(thread->second, &context);
  stepping_[id] = address;
  return true;
}

const CallSiteTracer::Module* CallSiteTracer::ModuleAt(ULONG_PTR address) const {
  for (const Module& module : modules_) {
    if (address >= module.base && address - module.base < module.size) return &module;
  }
  return nullptr;
}

CallSite CallSiteTracer::SiteOf(HANDLE thread, CONTEXT context) const {
  // At an export's first instruction the return address tops the stack, frame pointer or not.
  ULONG_PTR returnAddress = 0;
  if (ReadFrom(process_, StackPointer(context), returnAddress)) {
    const Module* module = ModuleAt(returnAddress);
    if (module != nullptr && !module->passedOver) return SiteAt(returnAddress);
  }
  // Called through a system module or generated code: the first frame beyond them.
  STACKFRAME64 frame{};
  frame.AddrPC.Offset = Ip(context);
  frame.AddrStack.Offset = StackPointer(context);
  frame.AddrFrame.Offset = FramePointer(context);
  frame.AddrPC.Mode = frame.AddrStack.Mode = frame.AddrFrame.Mode = AddrModeFlat;
  for (int i = 0; symbols_ && i < kMostFrames &&
                  StackWalk64(kMachine, process_, thread, &frame, &context, nullptr,
                              SymFunctionTableAccess64, SymGetModuleBase64, nullptr);
       ++i) {
    const auto pc = static_cast<ULONG_PTR>(frame.AddrPC.Offset);
    if (pc == 0) break;
    const Module* module = ModuleAt(pc);
    if (i > 0 && module != nullptr && !module->passedOver) return SiteAt(pc);
  }
  CallSite unknown;
  unknown.module = "?";
  unknown.offset = returnAddress;
  return unknown;
}

CallSite CallSiteTracer::SiteAt(ULONG_PTR returnAddress) const {
  const Module* module = ModuleAt(returnAddress);
  CallSite site;
  site.module = module != nullptr ? module->name : "?";
  site.offset = module != nullptr ? returnAddress - module->base : returnAddress;
  if (!symbols_) return site;
  // The call instruction ends at the return address: the byte before it is the call's.
  const DWORD64 call = returnAddress - 1;
  alignas(SYMBOL_INFOW) BYTE buffer[sizeof(SYMBOL_INFOW) + 256 * sizeof(wchar_t)] = {};
  auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(buffer);
  symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
  symbol->MaxNameLen = 256;
  DWORD64 displacement = 0;
  IMAGEHLP_LINEW64 line{};
  line.SizeOfStruct = sizeof line;
  DWORD lineDisplacement = 0;
  // A call in a function the compiler inlined belongs to that function's line, not its caller's.
  DWORD inlineContext = 0, frameIndex = 0;
  const InlineLookup& inlined = Inlined();
  const bool inInline = inlined.trace != nullptr &&
                        inlined.trace(process_, call, 0, call, call, &inlineContext, &frameIndex);
  const bool named = inInline ? inlined.symbol(process_, call, inlineContext, &displacement, symbol)
                              : SymFromAddrW(process_, call, &displacement, symbol);
  if (named) {
    site.function = Utf8(std::wstring(symbol->Name, wcsnlen(symbol->Name, symbol->MaxNameLen)));
  }
  const bool lined = inInline
                         ? inlined.line(process_, call, inlineContext, 0, &lineDisplacement, &line)
                         : SymGetLineFromAddrW64(process_, call, &lineDisplacement, &line);
  if (lined && line.FileName != nullptr) {
    site.file = Utf8(line.FileName);
    site.line = line.LineNumber;
  }
  return site;
}

}  // namespace velmora::devservice
