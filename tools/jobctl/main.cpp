// jobctl: calls one export of Velmora.dll from the command line or a batch file, and exits
// with its status. The DLL is loaded at run time, so either edition will do.
#include <windows.h>

// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../common/json_text.h"
#include "command_line.h"

namespace velmora::jobctl {
namespace {

using IntFromInt = int(__cdecl*)(int);
using IntFromIntInt = int(__cdecl*)(int, int);
using VoidFromVoid = void(__cdecl*)();
using VoidFromInt = void(__cdecl*)(int);
using IntFromText = int(__cdecl*)(const char*);
using IntFromIntText = int(__cdecl*)(int, const char*);
using IntFromIntTextText = int(__cdecl*)(int, const char*, const char*);

void Print(const std::string& text, FILE* stream = stdout) {
  std::fputs(text.c_str(), stream);
  std::fflush(stream);
}

std::wstring DefaultDllPath() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory(path, length);
  directory.resize(directory.find_last_of(L"\\/") + 1);
  return directory + L"Velmora.dll";
}

std::string FileVersion(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return "unknown";
  std::vector<char> block(size);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT infoSize = 0;
  if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
      !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) ||
      info == nullptr) {
    return "unknown";
  }
  return std::to_string(HIWORD(info->dwFileVersionMS)) + "." +
         std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(info->dwFileVersionLS)) + "." +
         std::to_string(LOWORD(info->dwFileVersionLS));
}

// The system's text for a code, UTF-8, without its line end; empty if it has none.
std::string SystemText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::wstring message = length > 0 && text != nullptr ? std::wstring(text, length) : L"";
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) {
    message.pop_back();
  }
  return Utf8(message);
}

// The exports take texts in the ANSI code page; characters it lacks are sent as "?".
std::string ToAnsi(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string ansi(static_cast<std::size_t>(size), '\0');
  BOOL lossy = FALSE;
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), ansi.data(), size,
                      nullptr, &lossy);
  if (lossy) {
    Print("jobctl: " + Utf8(text) + " has characters the ANSI code page lacks; sent as '?'\n",
          stderr);
  }
  return ansi;
}

struct Call {
  FARPROC function;
  Signature signature;
  std::vector<std::int32_t> numbers;
  std::vector<std::string> texts;
  std::int32_t status = 0;
};

// Calls the export; the two that return nothing report through the last error.
void MakeCall(Call& call) {
  const auto& n = call.numbers;
  const auto& t = call.texts;
  const void* f = reinterpret_cast<const void*>(call.function);
  switch (call.signature) {
    case Signature::kIntFromInt:
      call.status = reinterpret_cast<IntFromInt>(f)(n[0]);
      break;
    case Signature::kIntFromIntInt:
      call.status = reinterpret_cast<IntFromIntInt>(f)(n[0], n[1]);
      break;
    case Signature::kVoidFromVoid:
      reinterpret_cast<VoidFromVoid>(f)();
      call.status = static_cast<std::int32_t>(GetLastError());
      break;
    case Signature::kVoidFromInt:
      reinterpret_cast<VoidFromInt>(f)(n[0]);
      call.status = static_cast<std::int32_t>(GetLastError());
      break;
    case Signature::kIntFromText:
      call.status = reinterpret_cast<IntFromText>(f)(t[0].c_str());
      break;
    case Signature::kIntFromIntText:
      call.status = reinterpret_cast<IntFromIntText>(f)(n[0], t[0].c_str());
      break;
    case Signature::kIntFromIntTextText:
      call.status = reinterpret_cast<IntFromIntTextText>(f)(n[0], t[0].c_str(), t[1].c_str());
      break;
  }
}

DWORD WINAPI CallOnWorker(void* call) {
  MakeCall(*static_cast<Call*>(call));
  return 0;
}

// Runs the call on a worker thread; when the time is up, cancels its blocked pipe I/O until it
// returns (a call still connecting has no I/O to cancel yet, so this is tried again).
bool MakeBoundedCall(Call& call, double seconds) {
  const HANDLE worker = CreateThread(nullptr, 0, CallOnWorker, &call, 0, nullptr);
  if (worker == nullptr) {
    MakeCall(call);
    return false;
  }
  bool timedOut = false;
  if (WaitForSingleObject(worker, static_cast<DWORD>(seconds * 1000)) == WAIT_TIMEOUT) {
    timedOut = true;
    do {
      CancelSynchronousIo(worker);
    } while (WaitForSingleObject(worker, 50) == WAIT_TIMEOUT);
  }
  CloseHandle(worker);
  return timedOut;
}

int Info(HMODULE library, const std::string& dll, const std::string& version, bool json) {
  std::string exported;
  std::string missing;
  auto check = [&](const char* name) {
    std::string& list = GetProcAddress(library, name) != nullptr ? exported : missing;
    list += (list.empty() ? "" : ", ") + std::string(json ? "\"" : "") + name + (json ? "\"" : "");
  };
  // The two scheduler no-ops have no subcommand; every other export has one.
  check("StartScheduler");
  check("StopScheduler");
  for (const Subcommand& subcommand : Subcommands()) check(subcommand.exportName);
  // The edition is the major version: 3.0.0.85 is edition 3.
  const std::string major = version.substr(0, version.find('.'));
  const bool known = !major.empty() && major.find_first_not_of("0123456789") == std::string::npos;
  const std::string edition = known ? major : (json ? "null" : "unknown");
  if (json) {
    Print("{\"dll\":" + tools::JsonString(dll) + ",\"version\":\"" + version + "\",\"edition\":" +
          edition + ",\"exports\":[" + exported + "],\"missing\":[" + missing + "]}\n");
  } else {
    Print("dll:      " + dll + "\nversion:  " + version + " (edition " + edition + ")\nexports:  " +
          exported + "\nmissing:  " + (missing.empty() ? "none" : missing) + "\n");
  }
  return 0;
}

int Run(const Invocation& invocation) {
  const std::wstring path = invocation.dllPath.empty() ? DefaultDllPath() : invocation.dllPath;
  const HMODULE library = LoadLibraryW(path.c_str());
  if (library == nullptr) {
    const DWORD error = GetLastError();
    Print("jobctl: cannot load " + Utf8(path) + ": " + SystemText(error) + " (error " +
              std::to_string(error) + ")\n",
          stderr);
    return static_cast<int>(error);
  }
  wchar_t loaded[MAX_PATH];
  const DWORD length = GetModuleFileNameW(library, loaded, MAX_PATH);
  const std::wstring loadedPath(loaded, length);
  CallResult result;
  result.dll = Utf8(loadedPath);
  result.version = FileVersion(loadedPath);
  if (invocation.action == Invocation::Action::kInfo) {
    return Info(library, result.dll, result.version, invocation.json);
  }

  const Subcommand& subcommand = *invocation.subcommand;
  Call call{
      GetProcAddress(library, subcommand.exportName), subcommand.signature, invocation.numbers, {}};
  if (call.function == nullptr) {
    Print(std::string("jobctl: ") + subcommand.exportName + " is not exported by Velmora.dll " +
              result.version + "\n",
          stderr);
    return kExitMissingExport;
  }
  for (const std::wstring& text : invocation.texts) call.texts.push_back(ToAnsi(text));

  if (invocation.timeoutSeconds > 0) {
    // A call still connecting when the time is up cannot be cancelled and ends on its own with
    // its own status; only a cancelled one counts as timed out.
    result.timedOut =
        MakeBoundedCall(call, invocation.timeoutSeconds) && call.status == ERROR_OPERATION_ABORTED;
  } else {
    MakeCall(call);
  }
  result.status = call.status;
  if (result.status != 0) result.systemText = SystemText(static_cast<DWORD>(result.status));
  Print(invocation.json ? ResultJson(invocation, result) : ResultText(invocation, result));
  return result.status;
}

}  // namespace
}  // namespace velmora::jobctl

int main() {
  using namespace velmora::jobctl;
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  const std::vector<std::wstring> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  LocalFree(argv);
  const Invocation invocation = ParseCommandLine(args);
  if (!invocation.error.empty()) {
    Print("jobctl: " + invocation.error + "\n(jobctl --help lists the subcommands)\n", stderr);
    return kExitUsage;
  }
  if (invocation.action == Invocation::Action::kHelp) {
    Print(UsageText());
    return 0;
  }
  return Run(invocation);
}
