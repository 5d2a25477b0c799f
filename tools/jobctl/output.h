// What jobctl prints: the call as text, its result as text or JSON, the usage, and what info
// found in a DLL. Pure text, apart from any platform call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "command_line.h"

namespace velmora::jobctl {

// "StartJob(5)", "StartSyncJob(3, \"a\", \"b\")": how a call is shown, texts escaped.
std::string DescribeCall(const Invocation& invocation);

std::string UsageText();

// What a status most likely means when the library, not the service, produced it, for the
// codes a call meets on its way; empty for the others. A service's own status can have the
// same value, so this is a reading, not a fact.
struct StatusMeaning {
  std::string text;
  bool mayHaveActed = false;  // the request was sent: the service may have carried it out
};
StatusMeaning MeaningOf(std::int32_t status, bool timedOut);

// What jobctl prints once the call has returned.
struct CallResult {
  std::int32_t status = 0;
  bool timedOut = false;
  std::string systemText;          // the platform's text for a non-zero status, UTF-8; may be empty
  std::string dll;                 // the library that was called, UTF-8
  std::string version;             // its file version
  std::vector<std::string> notes;  // what the library did to the texts (see CutNotes)
};
std::string ResultText(const Invocation& invocation, const CallResult& result);
std::string ResultJson(const Invocation& invocation, const CallResult& result);

// Where the library will cut the call's texts, given their ANSI lengths in bytes and the
// edition (2 cuts the whole request text): one note each.
std::vector<std::string> CutNotes(const Invocation& invocation,
                                  const std::vector<std::size_t>& ansiLengths, int edition);

// "32-bit x86" or "64-bit x64" from the first bytes of a PE file, or "" if they are not one.
std::string MachineOfPe(const std::string& fileStart);
// Why a DLL did not load: the system's text, and for a DLL of the other bitness
// (ERROR_BAD_EXE_FORMAT) which bitness each side has.
std::string LoadFailure(const std::string& dll, std::uint32_t error, const std::string& systemText,
                        const std::string& dllMachine, const std::string& ownMachine);

// jobctl's own failure: "jobctl: MESSAGE" for stderr, or one JSON object for stdout.
std::string FailureText(const std::string& message);
std::string FailureJson(const char* kind, const std::string& message, int exitCode);

// What info found in a loaded DLL.
struct LibraryFacts {
  std::string dll;      // UTF-8
  std::string version;  // its file version, or "unknown"
  std::vector<std::string> exported;
  std::vector<std::string> missing;
  bool variable = false;  // it exports ?nVelmora@@3HA
};
// The export names info looks for: the two scheduler no-ops and every subcommand's export.
std::vector<std::string> InfoExportNames();
// Velmora exports the scheduler no-ops, StartJob and nVelmora whatever its edition.
bool IsVelmora(const LibraryFacts& facts);
// 3 or 2 for Velmora of a known edition, else 0.
int EditionOf(const LibraryFacts& facts);
std::string InfoText(const LibraryFacts& facts, bool json);

}  // namespace velmora::jobctl
