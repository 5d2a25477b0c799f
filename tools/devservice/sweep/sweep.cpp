#include "sweep/sweep.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "journal/entry.h"
#include "rules/rules.h"
#include "rules/rules_file.h"
#include "serve/pipe_guard.h"
#include "serve/serving_stack.h"
#include "sessions/process_tree.h"
#include "sessions/session_table.h"
#include "sweep/call_sites.h"
#include "sweep/junit.h"
#include "sweep/page.h"
#include "sweep/plan.h"
#include "sweep_page_template.h"
#include "wide_text.h"

namespace velmora::devservice {
namespace {

using tools::WideFromUtf8;

int Refuse(const std::string& why) {
  (void)std::fprintf(stderr, "velmora-devservice sweep: %s\n", why.c_str());
  return 2;
}

// The requests the service read during a run, and whether the run's fault met one of them (or
// a connection), or held the pipe, from its journal lines.
class RequestCollector {
 public:
  // The step of the run's rule that gives the fault (FaultStep); 0: a fault on the whole pipe.
  void Expect(std::size_t faultStep) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultStep_ = faultStep;
  }
  void Add(const JournalEntry& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (faultStep_ == 0 && entry.event == "pipe" && entry.state != "serving") met_ = true;
    if (faultStep_ != 0 && entry.IsCaller() && !entry.rule.empty() && entry.step == faultStep_) {
      met_ = true;
      ++hits_;
      reached_.push_back(calls_.size() + 1);  // this request's call, or the unread one's
    }
    if (!entry.IsRequest()) return;
    SweepCall call;
    call.exportName = entry.command;
    call.job = entry.job;
    if (!entry.param.empty()) call.text = entry.param;
    calls_.push_back(call);
  }
  // The run's calls and whether its rule met one; left empty, ready for the next run.
  void Take(RunRecord* record = nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (record != nullptr) {
      record->requests.swap(calls_);
      record->faultMet = met_;
      record->hits = hits_;
      if (faultStep_ != 0) record->reached = reached_;
    }
    calls_.clear();
    reached_.clear();
    met_ = false;
    hits_ = 0;
  }

 private:
  std::mutex mutex_;
  std::vector<SweepCall> calls_;
  std::size_t faultStep_ = 0;
  bool met_ = false;
  std::size_t hits_ = 0;
  std::vector<std::size_t> reached_;
};

// The journal's lines, each to the collector of the run it belongs to: by its session for a run
// in a session of its own, by none for the run the service's own rules judge.
class JournalRouter {
 public:
  void Add(const std::string& line) {
    JournalEntry entry;
    std::string unused;
    if (!ReadJournalEntry(line, entry, unused)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = collectors_.find(entry.session);
    if (found != collectors_.end()) found->second->Add(entry);
  }
  void Attach(std::uint64_t session, RequestCollector& collector) {
    std::lock_guard<std::mutex> lock(mutex_);
    collectors_[session] = &collector;
  }
  void Detach(std::uint64_t session) {
    std::lock_guard<std::mutex> lock(mutex_);
    collectors_.erase(session);
  }

 private:
  std::mutex mutex_;
  std::map<std::uint64_t, RequestCollector*> collectors_;
};

std::wstring BaseName(const std::wstring& path) {
  return path.substr(path.find_last_of(L"\\/") + 1);
}

std::string Hex(DWORD code) {
  char text[16];
  (void)std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  return text;
}

// The system's own words for an error: "There is not enough space on the disk (error 112)".
std::string SystemReason(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string reason;
  if (length != 0) {
    std::string problem;
    tools::Utf8FromWide(std::wstring(text, length), reason, problem);
  }
  LocalFree(text);
  while (!reason.empty() && std::strchr(" .\r\n", reason.back()) != nullptr) reason.pop_back();
  return (reason.empty() ? "error" : reason + " (error") + " " + std::to_string(code) +
         (reason.empty() ? "" : ")");
}

// A run's stdout and stderr, through a pipe into its file: the first kRunOutputCap bytes are
// kept and the rest counted, so that a host's flood of output neither fills the disk nor
// stalls on a full pipe.
class OutputKeeper {
 public:
  ~OutputKeeper() { Close(); }

  // The file made and the host's end of the pipe (inheritable) in `hostEnd`, or the reason.
  std::string Open(const std::wstring& path, HANDLE& hostEnd) {
    file_ = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0,
                        nullptr);
    if (file_ == INVALID_HANDLE_VALUE) return SystemReason(GetLastError());
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(&read_, &hostEnd, &inherit, 0)) return SystemReason(GetLastError());
    SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
    thread_ = CreateThread(nullptr, 0, &OutputKeeper::Pump, this, 0, nullptr);
    if (thread_ == nullptr) return SystemReason(GetLastError());
    return "";
  }

  // The bytes not kept, and why a write failed (empty: none did).
  struct Kept {
    std::uint64_t dropped = 0;
    std::string problem;
  };
  // Once the host and everything it started have ended, so that the pipe has no writer left.
  // What was not kept is said at the end of the file.
  Kept Close() {
    if (thread_ != nullptr) {
      // A writer outside the run's job could keep the pipe open: its output is not waited for.
      if (WaitForSingleObject(thread_, 5000) == WAIT_TIMEOUT) {
        CancelSynchronousIo(thread_);
        WaitForSingleObject(thread_, 5000);
      }
      CloseHandle(thread_);
      thread_ = nullptr;
    }
    if (read_ != nullptr) CloseHandle(read_);
    read_ = nullptr;
    if (file_ != INVALID_HANDLE_VALUE) {
      if (dropped_ > 0 && writeError_ == 0) {
        const std::string note = OutputCutNote(dropped_);
        DWORD written = 0;
        WriteFile(file_, note.data(), static_cast<DWORD>(note.size()), &written, nullptr);
      }
      CloseHandle(file_);
      file_ = INVALID_HANDLE_VALUE;
    }
    return {dropped_, writeError_ != 0 ? SystemReason(writeError_) : std::string()};
  }

 private:
  static DWORD WINAPI Pump(void* self) {
    auto& keeper = *static_cast<OutputKeeper*>(self);
    char block[64 * 1024];
    DWORD read = 0;
    while (ReadFile(keeper.read_, block, sizeof block, &read, nullptr) && read > 0) {
      DWORD keep = static_cast<DWORD>(std::min<std::uint64_t>(read, kRunOutputCap - keeper.kept_));
      DWORD written = 0;
      if (keep > 0 && keeper.writeError_ == 0 &&
          !WriteFile(keeper.file_, block, keep, &written, nullptr)) {
        keeper.writeError_ = GetLastError();
      }
      if (keeper.writeError_ != 0) keep = 0;
      keeper.kept_ += keep;
      keeper.dropped_ += read - keep;
    }
    return 0;
  }

  HANDLE file_ = INVALID_HANDLE_VALUE;
  HANDLE read_ = nullptr;
  HANDLE thread_ = nullptr;
  std::uint64_t kept_ = 0;
  std::uint64_t dropped_ = 0;
  DWORD writeError_ = 0;
};

// How the host's run ended, the Velmora.dll it loaded, and, traced, its calls into it.
struct HostEnd {
  RunRecord record;
  std::wstring library;
  std::vector<CallHit> hits;
};

// The host as our debuggee, in a job that ends it and everything it started: second-chance
// exceptions reach us (under Wine too, where an unhandled one would otherwise start the
// debugger and the exit code would read 0).
class HostRun {
 public:
  // `traceCalls`: each call into the library stops at a breakpoint that names its site, and is
  // told to `entered` (and, asked for, `returned`: CallSiteTracer::Follow).
  HostRun(const std::vector<std::string>& host, const std::wstring& outputPath, DWORD timeoutMs,
          bool traceCalls = false, CallSiteTracer::Entered entered = nullptr,
          CallSiteTracer::Returned returned = nullptr)
      : host_(host),
        outputPath_(outputPath),
        timeoutMs_(timeoutMs),
        traceCalls_(traceCalls),
        entered_(std::move(entered)),
        returned_(std::move(returned)) {}

  // Told the host's process ID before the host runs a single instruction; false, with the
  // reason, ends the run unmade.
  using Started = std::function<bool(DWORD process, std::string& error)>;

  bool Run(HostEnd& end, std::string& error, const Started& started = nullptr) {
    OutputKeeper keeper;
    PROCESS_INFORMATION process{};
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    const ULONGLONG startedAt = GetTickCount64();
    if (!Start(keeper, process, error)) {
      CloseHandle(job);
      return false;
    }
    AssignProcessToJobObject(job, process.hProcess);
    if (started && !started(process.dwProcessId, error)) {
      TerminateJobObject(job, 1);
      DebugActiveProcessStop(process.dwProcessId);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
      CloseHandle(job);
      return false;
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    Follow(process, job, startedAt, end);
    // Whatever the host started ends with the run.
    TerminateJobObject(job, 1);
    CloseHandle(job);
    CloseHandle(process.hProcess);
    end.record.ms = GetTickCount64() - startedAt;
    const OutputKeeper::Kept kept = keeper.Close();
    end.record.outputCut = kept.dropped;
    if (!kept.problem.empty()) {
      (void)std::fprintf(stderr, "velmora-devservice sweep: the run's output was cut: %s\n",
                         kept.problem.c_str());
    }
    return true;
  }

 private:
  // The host, suspended, with its output going to `keeper`. Runs start side by side: the
  // handles it inherits are inheritable only while it is made, under one lock, so that no other
  // run's host holds this one's output open.
  bool Start(OutputKeeper& keeper, PROCESS_INFORMATION& process, std::string& error) {
    static std::mutex startLock;
    std::lock_guard<std::mutex> lock(startLock);
    HANDLE output = nullptr;
    if (const std::string why = keeper.Open(outputPath_, output); !why.empty()) {
      if (output != nullptr) CloseHandle(output);
      error = "cannot write the run's output: " + why;
      return false;
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, OPEN_EXISTING, 0, nullptr);
    std::wstring commandLine = WideFromUtf8(CommandLine(host_));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = startup.hStdError = output;
    const bool ok = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE,
                                   CREATE_SUSPENDED | DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr,
                                   &startup, &process);
    const DWORD code = GetLastError();
    CloseHandle(output);
    CloseHandle(input);
    if (!ok) error = "cannot start " + host_[0] + ": " + SystemReason(code);
    return ok;
  }

  void Follow(const PROCESS_INFORMATION& process, HANDLE job, ULONGLONG started, HostEnd& end) {
    std::optional<CallSiteTracer> tracer;
    if (traceCalls_) {
      tracer.emplace(process.hProcess);
      tracer->Follow(entered_, returned_);
    }
    FollowEvents(process, job, started, tracer ? &*tracer : nullptr, end);
    if (tracer) end.hits = tracer->Hits();
  }

  void FollowEvents(const PROCESS_INFORMATION& process, HANDLE job, ULONGLONG started,
                    CallSiteTracer* tracer, HostEnd& end) {
    const ULONGLONG deadline = started + timeoutMs_;
    bool initialBreak = false;
    for (;;) {
      const ULONGLONG now = GetTickCount64();
      if (!end.record.timedOut && now >= deadline) {
        end.record.timedOut = true;
        TerminateJobObject(job, 1);
      }
      // Once ended, the exit event follows at once; a debuggee that never says so is let go.
      if (end.record.timedOut && now >= deadline + 10000) {
        DebugActiveProcessStop(process.dwProcessId);
        return;
      }
      DEBUG_EVENT event{};
      if (!WaitForDebugEvent(&event, end.record.timedOut ? 1000
                                                         : static_cast<DWORD>(std::min<ULONGLONG>(
                                                               deadline - now, 1000)))) {
        continue;
      }
      DWORD continueWith = DBG_CONTINUE;
      switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
          if (tracer) tracer->ThreadStarted(event.dwThreadId, event.u.CreateProcessInfo.hThread);
          Loaded(event.u.CreateProcessInfo.hFile, event.u.CreateProcessInfo.lpBaseOfImage, tracer,
                 end);
          break;
        case CREATE_THREAD_DEBUG_EVENT:
          if (tracer) tracer->ThreadStarted(event.dwThreadId, event.u.CreateThread.hThread);
          break;
        case EXIT_THREAD_DEBUG_EVENT:
          if (tracer) tracer->ThreadEnded(event.dwThreadId);
          break;
        case LOAD_DLL_DEBUG_EVENT:
          Loaded(event.u.LoadDll.hFile, event.u.LoadDll.lpBaseOfDll, tracer, end);
          break;
        case EXCEPTION_DEBUG_EVENT:
          continueWith =
              tracer && tracer->Handled(event.dwThreadId, event.u.Exception.ExceptionRecord)
                  ? DBG_CONTINUE
                  : Exception(event.u.Exception, process.hProcess, initialBreak, end);
          break;
        case EXIT_PROCESS_DEBUG_EVENT:
          if (!end.record.exception && !end.record.timedOut) {
            end.record.exitCode = event.u.ExitProcess.dwExitCode;
          }
          ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
          return;
        default:
          break;
      }
      ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueWith);
    }
  }

  void Loaded(HANDLE file, void* base, CallSiteTracer* tracer, HostEnd& end) {
    if (file == nullptr) return;
    wchar_t path[MAX_PATH * 2];
    const DWORD length = GetFinalPathNameByHandleW(file, path, MAX_PATH * 2, 0);
    if (length == 0 || length >= MAX_PATH * 2) {
      CloseHandle(file);
      return;
    }
    const std::wstring name = BaseName(std::wstring(path, length));
    modules_.push_back({reinterpret_cast<ULONG_PTR>(base), name});
    const bool library =
        CompareStringOrdinal(name.c_str(), -1, L"Velmora.dll", -1, TRUE) == CSTR_EQUAL;
    if (library) end.library = std::wstring(path, length);
    if (tracer) {
      tracer->ModuleLoaded(file, std::wstring(path, length), reinterpret_cast<ULONG_PTR>(base),
                           library);
    }
    CloseHandle(file);
  }

  DWORD Exception(const EXCEPTION_DEBUG_INFO& info, HANDLE process, bool& initialBreak,
                  HostEnd& end) {
    const DWORD code = info.ExceptionRecord.ExceptionCode;
    constexpr DWORD kWow64Breakpoint = 0x4000001F;
    // The loader's breakpoint as a debuggee starts is ours to pass over.
    if (!initialBreak && (code == EXCEPTION_BREAKPOINT || code == kWow64Breakpoint)) {
      initialBreak = true;
      return DBG_CONTINUE;
    }
    if (info.dwFirstChance) return DBG_EXCEPTION_NOT_HANDLED;  // the host's handlers first
    const auto address = reinterpret_cast<ULONG_PTR>(info.ExceptionRecord.ExceptionAddress);
    std::wstring module = L"?";
    ULONG_PTR best = 0;
    for (const auto& [base, name] : modules_) {
      if (base <= address && base >= best) {
        best = base;
        module = name;
      }
    }
    std::string moduleName;
    std::string problem;
    tools::Utf8FromWide(module, moduleName, problem);
    end.record.exception = Hex(code) + " in " + moduleName;
    TerminateProcess(process, code);
    return DBG_EXCEPTION_NOT_HANDLED;
  }

  const std::vector<std::string>& host_;
  const std::wstring outputPath_;
  const DWORD timeoutMs_;
  const bool traceCalls_;
  const CallSiteTracer::Entered entered_;
  const CallSiteTracer::Returned returned_;
  std::vector<std::pair<ULONG_PTR, std::wstring>> modules_;
};

// The file with `content`, or the system's reason it could not be written; a file not wholly
// written is taken away again, rather than left looking like a short one.
std::string WriteWholeFile(const std::wstring& path, const std::string& content) {
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return SystemReason(GetLastError());
  DWORD written = 0;
  const bool ok =
      WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
      written == content.size();
  const DWORD code = ok ? 0 : GetLastError() != 0 ? GetLastError() : ERROR_DISK_FULL;
  CloseHandle(file);
  if (ok) return "";
  DeleteFileW(path.c_str());
  return SystemReason(code);
}

std::string DefaultFolder() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char name[32];
  (void)std::snprintf(name, sizeof name, "sweep-%04u%02u%02u-%02u%02u%02u", now.wYear, now.wMonth,
                      now.wDay, now.wHour, now.wMinute, now.wSecond);
  return name;
}

// The file version of the Velmora.dll the host loaded, from its version block.
std::string FileVersion(const std::wstring& library) {
  if (library.empty()) return "not loaded by the host";
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(library.c_str(), &ignored);
  std::string block(size, '\0');
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (size == 0 || !GetFileVersionInfoW(library.c_str(), 0, size, &block[0]) ||
      !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length)) {
    return "unknown";
  }
  return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
         std::to_string(LOWORD(fixed->dwFileVersionLS));
}

// What --out names: nothing, a file, or a folder and the files in it and its subfolders.
OutFolder Look(const std::wstring& folder) {
  OutFolder found;
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return found;
  found.kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? OutFolder::Kind::kFolder
                                                            : OutFolder::Kind::kFile;
  std::vector<std::wstring> pending = {L""};
  while (found.kind == OutFolder::Kind::kFolder && !pending.empty()) {
    const std::wstring under = pending.back();
    pending.pop_back();
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((folder + L"\\" + under + L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) continue;
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        pending.push_back(under + name + L"\\");  // its files are looked at, one by one
      } else {
        std::string path, problem;
        tools::Utf8FromWide(under + name, path, problem);
        std::replace(path.begin(), path.end(), '\\', '/');
        found.files.push_back(path);
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  return found;
}

// Makes --out ready for a report: refused as OutFolderRefusal says, an earlier sweep's files
// deleted, the folders made (`made` gets those this made, for a sweep that cannot start to take
// away again). The reason, or "" when it is ready.
std::string PrepareOutFolder(const std::string& folder, bool force,
                             std::vector<std::wstring>& made) {
  const std::wstring out = WideFromUtf8(folder);
  std::vector<std::string> stale;
  if (std::string refused = OutFolderRefusal(folder, Look(out), force, stale); !refused.empty()) {
    return refused;
  }
  for (const std::string& name : stale) {
    std::wstring path = out + L"\\" + WideFromUtf8(name);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (!DeleteFileW(path.c_str())) {
      return "cannot replace the earlier sweep's " + name + " in " + folder + ": " +
             SystemReason(GetLastError());
    }
  }
  for (const std::wstring& part : {out, out + L"\\runs", out + L"\\repro"}) {
    if (CreateDirectoryW(part.c_str(), nullptr)) {
      made.push_back(part);
    } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
      return "cannot make the folder " + folder + ": " + SystemReason(GetLastError());
    }
  }
  return "";
}

// What the baseline run says about the host, or why it cannot be swept.
std::string BaselineRefusal(const RunRecord& baseline, const SweepSettings& options,
                            const std::string& folder) {
  if (baseline.exception) {
    return "the baseline run crashed (" + *baseline.exception + "): see " + folder +
           "\\runs\\baseline.out";
  }
  if (baseline.timedOut) {
    return "the baseline run did not end within " + std::to_string(options.timeoutS) +
           " s: give --timeout more, or a host that ends";
  }
  if (baseline.requests.empty()) {
    return "the baseline run made no call (exit " + std::to_string(*baseline.exitCode) +
           "): nothing to sweep";
  }
  return "";
}

// The report, the page and the table, once every run is made.
int WriteReport(const SweepReport& report, const std::string& folder) {
  // The matrix first: whatever becomes of the files, the runs are not lost.
  (void)std::fputs(ReportTable(report).c_str(), stdout);
  if (report.changes) {
    (void)std::printf("%s\n", report.changes->empty() ? "the matrix is the expected one"
                                                      : "changed from the expected matrix:");
    for (const std::string& change : *report.changes) (void)std::printf("  %s\n", change.c_str());
  }
  (void)std::fflush(stdout);
  const std::wstring out = WideFromUtf8(folder);
  std::string error;
  const std::string page = RenderPage(kSweepPageTemplate, PageData(report), error);
  // The page last, so that one that cannot be made costs neither of the others.
  const std::pair<const wchar_t*, std::string> files[] = {
      {L"report.json", ReportJson(report)},
      {L"report.junit.xml", ReportJUnit(report)},
      {L"report.html", page}};
  for (const auto& [name, content] : files) {
    std::string shown, problem;
    tools::Utf8FromWide(name, shown, problem);
    if (content.empty()) return Refuse("cannot make " + shown + ": " + error);
    if (const std::string why = WriteWholeFile(out + L"\\" + name, content); !why.empty()) {
      return Refuse("cannot write " + folder + "\\" + shown + ": " + why);
    }
  }
  std::printf("report: %s\\report.html, %s\\report.json, %s\\report.junit.xml\n", folder.c_str(),
              folder.c_str(), folder.c_str());
  return SweepExitCode(report);
}

}  // namespace

int Sweep(const SweepSettings& options) {
  std::string error;
  std::vector<std::string> faults = DefaultFaults();
  if (!options.faults.empty() && !ParseFaultList(options.faults, faults, error)) {
    return Refuse(error);
  }
  // --calls as written, before the baseline runs: only its range waits for the baseline.
  std::vector<std::size_t> unused;
  if (!options.calls.empty() && !ParseCallList(options.calls, kMaxCallNumber, unused, error)) {
    return Refuse(error);
  }
  ExpectedVerdicts expected;
  if (std::string text; !options.expect.empty() && (!ReadTextFile(options.expect, text, error) ||
                                                    !ReadExpectedVerdicts(text, expected, error))) {
    return Refuse("--expect " + options.expect + ": " + error);
  }
  if (const std::string other = OtherServer(false); !other.empty()) {
    return Refuse(other + " serves \\\\.\\pipe\\pipe_job; stop it first");
  }
  const std::string folder = options.out.empty() ? DefaultFolder() : options.out;
  const std::wstring out = WideFromUtf8(folder);
  std::vector<std::wstring> madeFolders;
  if (const std::string refused = PrepareOutFolder(folder, options.force, madeFolders);
      !refused.empty()) {
    return Refuse(refused);
  }
  const auto leaveNothing = [&] {
    DeleteFileW((out + L"\\runs\\baseline.out").c_str());
    for (auto it = madeFolders.rbegin(); it != madeFolders.rend(); ++it) {
      RemoveDirectoryW(it->c_str());
    }
  };

  // The service, as velmora-devservice serves it, with its journal read back per run: the
  // baseline's and a pipe fault's by the service's own rules, each other run's by a session of
  // its own, so that runs side by side neither meet nor count each other's requests.
  JournalRouter journal;
  RequestCollector collector;
  journal.Attach(0, collector);
  SessionTable sessions;
  const std::uint64_t seed = options.seed ? *options.seed : DrawSeed();
  ServingStack stack(
      options, seed,
      {[] { return GetTickCount64(); }, [] { return LogTime{}; }, [](const std::string&) {},
       [&journal](const std::string& line) { journal.Add(line); }, [] {},
       RouteToSessions(sessions)});
  if (!stack.Start(error)) {
    leaveNothing();
    return Refuse(error);
  }
  // A run by the service's own rules, with the pipe to itself.
  const auto runAlone = [&](RuleSet rules, std::size_t faultStep, const std::wstring& output,
                            HostEnd& end, std::string& why, bool traceCalls,
                            CallSiteTracer::Entered entered = nullptr,
                            CallSiteTracer::Returned returned = nullptr) {
    stack.service().Reset(true, true);
    collector.Take();  // before the rules: a pipe fault at the first call holds the pipe at once
    collector.Expect(faultStep);
    stack.Replace(std::move(rules), seed);
    HostRun host(options.host, output, options.timeoutS * 1000, traceCalls, std::move(entered),
                 std::move(returned));
    if (!host.Run(end, why)) return false;
    collector.Take(&end.record);
    return true;
  };
  // A run in a session of its own, opened for the host before it starts: fresh jobs, the run's
  // rules, and its requests read back apart from every other run's.
  const auto runInSession = [&](RuleSet rules, std::size_t faultStep, const std::wstring& output,
                                HostEnd& end, std::string& why) {
    RequestCollector own;
    own.Expect(faultStep);
    std::shared_ptr<Session> session;
    const auto open = [&](DWORD process, std::string& reason) {
      const std::optional<ProcessIdentity> root = IdentifyProcess(process);
      if (!root) {
        reason = "the host's process " + std::to_string(process) + " cannot be named";
        return false;
      }
      session = sessions.Open(*root, "", options.jobs, seed, GetTickCount64());
      session->planner.Replace(std::move(rules), seed, GetTickCount64());
      journal.Attach(session->id, own);
      return true;
    };
    HostRun host(options.host, output, options.timeoutS * 1000);
    const bool ran = host.Run(end, why, open);
    if (session) {
      journal.Detach(session->id);
      sessions.End(session->id);
    }
    if (ran) own.Take(&end.record);
    return ran;
  };
  (void)std::fprintf(stderr, "velmora-devservice sweep: seed %llu, reports in %s\n",
                     static_cast<unsigned long long>(seed), folder.c_str());

  SweepReport report;
  report.host = options.host;
  report.timeoutS = options.timeoutS;
  report.seed = seed;
  report.persist = options.persist;
  report.allowRepeats = options.allowRepeats;
  HostEnd baseline;
  // The baseline is traced, for its calls' sites name the rows; of the runs, only those whose
  // pipe fault is opened and closed by the calls themselves.
  if (!runAlone(RuleSet(), 0, out + L"\\runs\\baseline.out", baseline, error, true)) {
    leaveNothing();
    return Refuse(error);
  }
  // Each baseline request's call, by its place among the calls: a pipe fault's window opens as
  // that call enters the library in the run.
  const std::vector<std::optional<std::size_t>> hitOfCall =
      AttributeSites(baseline.record.requests, baseline.hits);
  report.baseline = baseline.record;
  report.libraryVersion = FileVersion(baseline.library);
  if (const std::string refused = BaselineRefusal(baseline.record, options, folder);
      !refused.empty()) {
    return Refuse(refused);
  }
  std::vector<std::size_t> calls;
  const std::size_t made = baseline.record.requests.size();
  const std::vector<std::size_t> firstAtSites = FirstCallPerSite(baseline.record.requests);
  if (!options.calls.empty() || options.everyCall) {
    if (!ParseCallList(options.calls.empty() ? "1-" + std::to_string(made) : options.calls, made,
                       calls, error)) {
      return Refuse(error);
    }
  } else {
    calls = firstAtSites;
  }
  std::vector<std::pair<std::size_t, std::string>> planned;
  std::vector<bool> alone;
  for (const std::size_t call : calls) {
    for (const std::string& fault : faults) {
      planned.emplace_back(call, fault);
      alone.push_back(RunsAlone(fault));
    }
  }
  const std::size_t total = planned.size();
  if (const std::string many =
          TooManyRuns(total, !options.calls.empty() || options.everyCall, options.maxRuns);
      !many.empty()) {
    return Refuse(many);
  }
  const std::size_t parallel =
      options.parallel ? *options.parallel : DefaultParallel(std::thread::hardware_concurrency());
  (void)std::fprintf(stderr,
                     "baseline: exit %lu, %llu ms, %zu call(s) from %zu site(s); %zu run(s) to "
                     "make, up to %zu at once\n",
                     static_cast<unsigned long>(*baseline.record.exitCode),
                     static_cast<unsigned long long>(baseline.record.ms), made, firstAtSites.size(),
                     total, parallel);

  // One planned run, made whole: its rules file, the host's run, the verdict.
  struct Made {
    std::optional<SweepRun> run;
    std::string error;  // why it could not be made
  };
  const auto makeRun = [&](std::size_t index) {
    const std::size_t call = planned[index].first;
    const std::string& fault = planned[index].second;
    const std::string id = RunId(index + 1);
    Made result;
    // A pipe fault in a host the baseline traced is exact: the sweep opens its window as the
    // call enters the library and closes it as the call returns. Elsewhere it is timed.
    const bool exact = RunsAlone(fault) && hitOfCall[call - 1];
    const std::string rulesText = RulesForRun(call, fault, seed, options.persist);
    RuleSet rules, window;
    if (!ReadRules(exact ? "{\"rules\": []}" : rulesText, rules, result.error) ||
        (exact && !ReadRules(PipeWindowRules(call, fault, seed), window, result.error))) {
      result.error = "run " + id + ": " + result.error;
      return result;
    }
    if (const std::string why =
            WriteWholeFile(out + L"\\repro\\" + WideFromUtf8(id) + L".json",
                           ReproRules(call, fault, seed, options.persist, exact));
        !why.empty()) {
      result.error = "run " + id + ": cannot write its rules: " + why;
      return result;
    }
    std::vector<std::size_t> reached;
    std::size_t callsMade = 0;
    bool open = false;
    const auto entered = [&](std::size_t hit, const CallHit& madeNow) {
      if (!SendsRequest(madeNow.exportName)) return false;
      ++callsMade;
      const bool faulted = hit == *hitOfCall[call - 1];
      if (faulted) {
        stack.Replace(window, seed);  // in force before the host goes on
        open = true;
      }
      if (open) reached.push_back(callsMade);
      return faulted && !options.persist;
    };
    const auto returned = [&](std::size_t) {
      stack.Replace(RuleSet(), seed);
      open = false;
    };
    HostEnd end;
    const std::wstring output = out + L"\\runs\\" + WideFromUtf8(id) + L".out";
    // busy and absent have no step: the collector looks for the pipe's state instead.
    const std::size_t step = FaultStep(call, fault);
    bool ran = false;
    if (RunsAlone(fault)) {
      ran = runAlone(std::move(rules), step, output, end, result.error, exact,
                     exact ? CallSiteTracer::Entered(entered) : nullptr,
                     exact ? CallSiteTracer::Returned(returned) : nullptr);
    } else {
      ran = runInSession(std::move(rules), step, output, end, result.error);
    }
    if (!ran) {
      result.error = "run " + id + ": " + result.error;
      return result;
    }
    if (exact) end.record.reached = reached;
    result.run =
        SweepRun{call, fault, end.record, Judge(report.baseline, end.record, call, fault), {}};
    return result;
  };

  // The runs, as the schedule starts them, each on a thread of its own: a debugger's events
  // come to the thread that started its debuggee.
  RunSchedule schedule(alone, parallel);
  std::vector<Made> results(total);
  std::vector<std::thread> threads;
  std::mutex endedLock;
  std::condition_variable endedSignal;
  std::vector<std::size_t> ended;
  std::string failure;
  std::size_t done = 0;
  const ULONGLONG started = GetTickCount64();
  for (;;) {
    while (const std::optional<std::size_t> next = schedule.Next()) {
      threads.emplace_back([&, index = *next] {
        Made result = makeRun(index);
        std::lock_guard<std::mutex> lock(endedLock);
        results[index] = std::move(result);
        ended.push_back(index);
        endedSignal.notify_one();
      });
    }
    if (schedule.InFlight() == 0) break;
    std::unique_lock<std::mutex> lock(endedLock);
    endedSignal.wait(lock, [&] { return !ended.empty(); });
    for (const std::size_t index : ended) {
      schedule.Ended(index);
      const Made& result = results[index];
      if (!result.run) {
        if (failure.empty()) failure = result.error;
        schedule.Stop();  // those in flight end as they will; their runs are reported
        continue;
      }
      const ULONGLONG elapsed = GetTickCount64() - started;
      ++done;
      (void)std::fprintf(
          stderr, "run %zu of %zu: call %zu %s, %s: %s (%llu ms); %llu s in, about %llu s left\n",
          done, total, result.run->call,
          CallLabel(report.baseline.requests[result.run->call - 1]).c_str(),
          result.run->fault.c_str(), VerdictName(result.run->verdict),
          static_cast<unsigned long long>(result.run->record.ms),
          static_cast<unsigned long long>(elapsed / 1000),
          static_cast<unsigned long long>(elapsed / done * (total - done) / 1000));
    }
    ended.clear();
  }
  for (std::thread& thread : threads) thread.join();
  stack.Stop(false);
  // cppcheck-suppress constVariable ; each run is moved out of it
  for (Made& result : results) {
    if (result.run) report.runs.push_back(std::move(*result.run));
  }
  if (!failure.empty()) {
    // A sweep stopped part way reports the runs it made, as far as it can.
    Refuse(failure);
    if (!report.runs.empty()) {
      (void)std::fprintf(stderr, "velmora-devservice sweep: the %zu run(s) made so far:\n",
                         report.runs.size());
      WriteReport(report, folder);
    }
    return 2;
  }
  if (!options.expect.empty()) CompareWithExpected(report, expected);
  return WriteReport(report, folder);
}

}  // namespace velmora::devservice
