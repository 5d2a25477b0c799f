// What jobctl reports of a call: the call as text, what its status most likely means, the
// result as text or as one JSON object, the notes on where the library cut the texts, jobctl's
// own failures, and the exit code. Pure text, apart from any platform call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "command_line.h"

namespace velmora::jobctl {

// "StartJob(5)", "StartSyncJob(3, \"a\", \"b\")": how a call is shown, texts escaped.
std::string DescribeCall(const Invocation& invocation);

// What a status most likely means when the library, not the service, produced it, for the
// codes a call meets on its way; empty for the others. A service's own status can have the
// same value, so this is a reading, not a fact.
struct StatusMeaning {
  std::string text;
  // The request was written, so the service may have carried it out: success included, and
  // whatever status it answered, since no status is known to mean "not done".
  bool mayHaveActed = false;
};
// `written`: whether the library had started to write the request when the call ended.
StatusMeaning MeaningOf(std::int32_t status, bool timedOut, bool written);

struct CallResult {
  std::int32_t status = 0;
  bool timedOut = false;
  bool written = true;             // the request had been (or may have been) written
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

// jobctl's own failure: "jobctl: MESSAGE" for stderr, or one JSON object for stdout.
std::string FailureText(const std::string& message);
std::string FailureJson(const char* kind, const std::string& message, int exitCode);
// --help and --version with --json.
std::string HelpJson(const std::string& usage);
std::string VersionJson(const std::string& version);

// The process exit code for a call's status: the status itself, except that a non-zero status
// whose low 8 bits are 0 gets them set, so no failure reads as success where only they are seen,
// and so does 259, which GetExitCodeProcess gives for a process still running.
int ExitCodeFor(std::int32_t status);

}  // namespace velmora::jobctl
