// jobctl: calls one export of Velmora.dll from the command line or a batch file, and exits
// with its status. The DLL is loaded at run time, so either edition will do.
#include <windows.h>

// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "command_line.h"
#include "output.h"
#include "utf8.h"
#include "velmora_dll.h"

namespace velmora::jobctl {
namespace {

void Print(const std::string& text, FILE* stream = stdout) {
  std::fputs(text.c_str(), stream);
  std::fflush(stream);
}

int Run(const Invocation& invocation) {
  const std::wstring path = invocation.dllPath.empty() ? DefaultDllPath() : invocation.dllPath;
  const HMODULE library = LoadLibraryW(path.c_str());
  if (library == nullptr) {
    const DWORD error = GetLastError();
    Print("jobctl: cannot load " + tools::Utf8(path) + ": " + SystemText(error) + " (error " +
              std::to_string(error) + ")\n",
          stderr);
    return static_cast<int>(error);
  }
  const LibraryFacts facts = ReadFacts(library);
  if (invocation.action == Invocation::Action::kInfo) {
    Print(InfoText(facts, invocation.json));
    return 0;
  }

  const Subcommand& subcommand = *invocation.subcommand;
  Call call{GetProcAddress(library, subcommand.exportName), &subcommand, invocation.numbers, {}};
  if (call.function == nullptr) {
    Print(std::string("jobctl: ") + subcommand.exportName + " is not exported by Velmora.dll " +
              facts.version + "\n",
          stderr);
    return kExitMissingExport;
  }
  for (const std::wstring& text : invocation.texts) call.texts.push_back(ToAnsi(text));

  CallResult result;
  result.dll = facts.dll;
  result.version = facts.version;
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
