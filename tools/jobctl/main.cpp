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

// jobctl's own failure: one JSON object on stdout with --json, a line on stderr otherwise.
int Fail(const Invocation& invocation, const char* kind, const std::string& message, int exitCode) {
  if (invocation.json) {
    Print(FailureJson(kind, message, exitCode));
  } else {
    Print(FailureText(message), stderr);
  }
  return exitCode;
}

int Run(const Invocation& invocation) {
  const std::wstring path = invocation.dllPath.empty() ? DefaultDllPath() : invocation.dllPath;
  const HMODULE library = LoadLibraryW(path.c_str());
  if (library == nullptr) {
    const DWORD error = GetLastError();
    return Fail(
        invocation, "load",
        LoadFailure(tools::Utf8(path), error, SystemText(error), MachineOfFile(path), OwnMachine()),
        kExitCannotLoad);
  }
  const LibraryFacts facts = ReadFacts(library);
  if (invocation.action == Invocation::Action::kInfo) {
    if (!invocation.quiet) Print(InfoText(facts, invocation.json));
    return IsVelmora(facts) ? 0 : kExitMissingExport;
  }

  const Subcommand& subcommand = *invocation.subcommand;
  Call call{GetProcAddress(library, subcommand.exportName), &subcommand, invocation.numbers, {}};
  if (call.function == nullptr) {
    return Fail(invocation, "export",
                std::string(subcommand.exportName) + " is not exported by " + facts.dll +
                    (IsVelmora(facts) ? " (Velmora " + facts.version + ")" : " (not Velmora)"),
                kExitMissingExport);
  }
  std::vector<std::size_t> lengths;
  for (const std::wstring& text : invocation.texts) {
    std::string ansi;
    std::string problem;
    if (!ToAnsi(text, ansi, problem)) {
      return Fail(invocation, "text", problem, kExitNotRepresentable);
    }
    lengths.push_back(ansi.size());
    call.texts.push_back(ansi);
  }

  CallResult result;
  result.dll = facts.dll;
  result.version = facts.version;
  result.notes = CutNotes(invocation, lengths, EditionOf(facts));
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
  if (!invocation.quiet) {
    if (invocation.json) {
      Print(ResultJson(invocation, result));
    } else {
      for (const std::string& note : result.notes) Print("note: " + note + "\n", stderr);
      Print(ResultText(invocation, result));
    }
  }
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
    return Fail(
        invocation, "usage",
        invocation.error + (invocation.json ? "" : "\n(jobctl --help lists the subcommands)"),
        kExitUsage);
  }
  switch (invocation.action) {
    case Invocation::Action::kHelp:
      Print(UsageText());
      return 0;
    case Invocation::Action::kVersion:
      Print(std::string("jobctl ") + VELMORA_VERSION + "\n");
      return 0;
    case Invocation::Action::kCall:
    case Invocation::Action::kInfo:
      break;
  }
  return Run(invocation);
}
