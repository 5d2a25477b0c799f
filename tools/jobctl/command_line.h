// jobctl's command line: one subcommand per export of Velmora.dll, and the options around it.
// Parsing and the text of results live here, apart from any platform call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::jobctl {

// The shape of an export, which says how jobctl calls it.
enum class Signature {
  kIntFromInt,          // int StartJob(int job)
  kIntFromIntInt,       // int ChangeJobState(int job, int state)
  kVoidFromVoid,        // void StartJobOnBoot(void)
  kVoidFromInt,         // void SetProcessPriority(int priority)
  kIntFromText,         // int DeleteJobFileByName(const char* name)
  kIntFromIntText,      // int StartMigJob(int job, const char* parameter)
  kIntFromIntTextText,  // int StartSyncJob(int job, const char* first, const char* second)
};

struct Subcommand {
  const char* name;        // as typed: "start", "set-state" ...
  const char* exportName;  // "StartJob", "ChangeJobState" ...
  Signature signature;
  const char* operands;  // for the usage text: "JOB", "JOB on|off" ...
};

// Every subcommand that calls an export, in the order --help lists them.
const std::vector<Subcommand>& Subcommands();

// Exit codes of jobctl itself; after a call, the exit code is the call's status.
constexpr int kExitUsage = 2;          // bad command line
constexpr int kExitMissingExport = 2;  // the loaded edition lacks the export

struct Invocation {
  enum class Action { kCall, kInfo, kHelp };
  Action action = Action::kHelp;
  const Subcommand* subcommand = nullptr;
  std::vector<std::int32_t> numbers;  // job, state or priority, in operand order
  std::vector<std::wstring> texts;    // text operands, in operand order
  std::wstring dllPath;               // empty: Velmora.dll beside jobctl.exe
  bool json = false;
  double timeoutSeconds = 0;  // 0: wait as long as the call does
  std::string error;          // set when the command line is not understood
};

// Reads the arguments after the program name.
Invocation ParseCommandLine(const std::vector<std::wstring>& args);

// "StartJob(5)", "StartSyncJob(3, \"a\", \"b\")": how a call is shown. Texts come as UTF-8.
std::string DescribeCall(const Invocation& invocation);

std::string UsageText();

// What jobctl prints once the call has returned.
struct CallResult {
  std::int32_t status = 0;
  bool timedOut = false;
  std::string systemText;  // the platform's text for a non-zero status, UTF-8; may be empty
  std::string dll;         // the library that was called, UTF-8
  std::string version;     // its file version
};
std::string ResultText(const Invocation& invocation, const CallResult& result);
std::string ResultJson(const Invocation& invocation, const CallResult& result);

// A wide text as UTF-8, for display.
std::string Utf8(const std::wstring& text);

}  // namespace velmora::jobctl
