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

// What info found in a loaded DLL.
struct LibraryFacts {
  std::string dll;      // UTF-8
  std::string version;  // its file version, or "unknown"
  std::vector<std::string> exported;
  std::vector<std::string> missing;
};
// The export names info looks for: the two scheduler no-ops and every subcommand's export.
std::vector<std::string> InfoExportNames();
std::string InfoText(const LibraryFacts& facts, bool json);

}  // namespace velmora::jobctl
