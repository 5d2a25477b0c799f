// jobctl: calls one export of Velmora.dll from the command line or a batch file, and exits
// with its status. The DLL is loaded at run time, so either edition will do.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "command_line.h"
#include "library_info.h"
#include "report.h"
#include "velmora_dll.h"
#include "wide_text.h"

namespace velmora::jobctl {
namespace {

void Print(const std::string& text, FILE* stream = stdout) {
  (void)std::fputs(text.c_str(), stream);
  (void)std::fflush(stream);
}

// jobctl's own failure: one JSON object on stdout with --json, a line on stderr otherwise.
int Fail(bool json, const char* kind, const std::string& message, int exitCode) {
  Print(json ? FailureJson(kind, message, exitCode) : FailureText(message), json ? stdout : stderr);
  return exitCode;
}

int Run(const Invocation& invocation) {
  const std::wstring path =
      invocation.dllPath.empty() ? DefaultDllPath() : tools::WideFromUtf8(invocation.dllPath);
  const HMODULE library = LoadLibraryW(path.c_str());
  if (library == nullptr) {
    return Fail(invocation.json, "load", WhyNotLoaded(path, GetLastError()), kExitCannotLoad);
  }
  const LibraryFacts facts = ReadFacts(library);
  if (invocation.action == Invocation::Action::kInfo) {
    const int exitCode = IsVelmora(facts) ? 0 : kExitMissingExport;
    if (invocation.json || !invocation.quiet || exitCode != 0) {
      Print(InfoText(facts, invocation.json), invocation.json || exitCode == 0 ? stdout : stderr);
    }
    return exitCode;
  }

  const tools::ExportInfo& info = *invocation.call;
  Call call{GetProcAddress(library, info.name), &info, invocation.numbers, {}};
  if (call.function == nullptr) {
    return Fail(invocation.json, "export",
                std::string(info.name) + " is not exported by " + facts.dll +
                    (IsVelmora(facts) ? " (Velmora " + facts.version + ")" : " (not Velmora)"),
                kExitMissingExport);
  }
  std::vector<std::size_t> lengths;
  for (const std::string& text : invocation.texts) {
    std::string ansi, problem;
    if (!tools::AnsiFromUtf8(text, ansi, problem)) {
      return Fail(invocation.json, "text", problem, kExitNotRepresentable);
    }
    lengths.push_back(ansi.size());
    call.texts.push_back(ansi);
  }

  CallResult result;
  result.dll = facts.dll;
  result.version = facts.version;
  result.notes = CutNotes(invocation, lengths, EditionOf(facts));
  const bool watched = WatchRequestWrites(library);
  if (invocation.timeoutSeconds > 0) {
    // A call sleeping between connect attempts when the time is up ends on its own with its
    // own status; only a cancelled one counts as timed out.
    result.timedOut =
        MakeBoundedCall(call, invocation.timeoutSeconds) && call.status == ERROR_OPERATION_ABORTED;
  } else {
    MakeCall(call);
  }
  result.status = call.status;
  result.written = !watched || RequestWritten();
  if (result.status != 0) result.systemText = SystemText(static_cast<DWORD>(result.status));
  if (invocation.json) {
    Print(ResultJson(invocation, result));
  } else if (!invocation.quiet || result.status != 0 || result.timedOut) {
    // With --quiet only a failure shows, and on stderr.
    FILE* stream = invocation.quiet ? stderr : stdout;
    for (const std::string& note : result.notes) Print("note: " + note + "\n", stderr);
    Print(ResultText(invocation, result), stream);
  }
  return ExitCodeFor(result.status);
}

}  // namespace
}  // namespace velmora::jobctl

int main() {
  using namespace velmora::jobctl;
  std::vector<std::string> args;
  std::string problem;
  if (!velmora::tools::Utf8Arguments(args, problem)) {
    bool json = false;
    for (const std::string& arg : args) json = json || arg == "--json";
    return Fail(json, "text", problem + "; nothing was sent", kExitNotRepresentable);
  }
  const Invocation invocation = ParseCommandLine(args);
  if (!invocation.error.empty()) {
    const std::string more =
        invocation.showUsage ? "\n" + UsageText() : "\n(jobctl --help lists the subcommands)";
    return Fail(invocation.json, "usage", invocation.error + (invocation.json ? "" : more),
                kExitUsage);
  }
  switch (invocation.action) {
    case Invocation::Action::kHelp: {
      const std::string usage = UsageText(invocation.helpFor);
      Print(invocation.json ? HelpJson(usage) : usage);
      return 0;
    }
    case Invocation::Action::kVersion:
      Print(invocation.json ? VersionJson(VELMORA_VERSION)
                            : std::string("jobctl ") + VELMORA_VERSION + "\n");
      return 0;
    case Invocation::Action::kCall:
    case Invocation::Action::kInfo:
      break;
  }
  return Run(invocation);
}
