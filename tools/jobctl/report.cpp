#include "report.h"

#include <nlohmann/json.hpp>

#include "job_frames.h"
#include "pipe_system.h"

namespace velmora::jobctl {
namespace {

using json = nlohmann::ordered_json;

// The Windows codes a call meets on its way besides the library's own.
constexpr std::int32_t kErrorBrokenPipe = 109;
constexpr std::int32_t kErrorSemTimeout = 121;  // a busy wait that ran out
constexpr std::int32_t kErrorNoData = 232;      // a write to a pipe the service is closing
constexpr std::int32_t kErrorPipeNotConnected = 233;
constexpr std::int32_t kErrorOperationAborted = 995;
// Under Wine, what a wait for a busy pipe returns when the pipe's last instance closes during
// the wait: the service stopped while the call waited for it.
constexpr std::int32_t kWineInstancesClosedWhileWaiting = 676;

// What the library keeps of a single text, of the joined texts of StartSyncJob, and of the
// whole request text in edition 2.
constexpr std::size_t kTextKept = kTextBound - 1;
constexpr std::size_t kJoinedKept = kParamSize - 1;
constexpr std::size_t kEdition2RequestKept = kTextBound - 1;

// Plain ASCII, with any other character escaped, whatever the console's code page.
std::string Dump(const json& value) {
  return value.dump(-1, ' ', true, json::error_handler_t::replace);
}

}  // namespace

std::string DescribeCall(const Invocation& invocation) {
  std::string call = std::string(invocation.call->name) + "(";
  const char* separator = "";
  for (const std::int32_t number : invocation.numbers) {
    call += separator + std::to_string(number);
    separator = ", ";
  }
  for (const std::string& text : invocation.texts) {
    call += separator + Dump(text);
    separator = ", ";
  }
  return call + ")";
}

StatusMeaning MeaningOf(std::int32_t status, bool timedOut, bool written) {
  const std::string acted = written ? "; the service may already have acted on the request"
                                    : "; its request had not been sent";
  if (timedOut) {
    return {"the service did not answer in time and the call was cancelled" + acted, written};
  }
  switch (status) {
    case 0:
      return {"success", written};
    case kErrorFileNotFound:
      return {"no service is listening on \\\\.\\pipe\\pipe_job", false};
    case kErrorSemTimeout:
    case kErrorPipeBusy:
      return {"every instance of the service's pipe stayed busy; nothing was sent", false};
    case kErrorNoData:
      return {"the service closed the connection before it read the request" + acted, written};
    case kErrorBrokenPipe:
    case kErrorPipeNotConnected:
      return {"the service closed the connection before its reply came" + acted, written};
    case kErrorBadPipe:
      return {"the service sent empty messages instead of a reply" + acted, written};
    case kErrorOperationAborted:
      return {"the call was cancelled before the reply came" + acted, written};
    case kWineInstancesClosedWhileWaiting:
      return {
          "the service stopped while the call waited for a busy instance (Wine's status "
          "for it); nothing was sent",
          false};
    default:
      // The service's own answer: whatever it says, a request it read may have been acted on.
      return {"", written};
  }
}

std::string ResultText(const Invocation& invocation, const CallResult& result) {
  std::string text = DescribeCall(invocation) + ": status " + std::to_string(result.status);
  const StatusMeaning meaning = MeaningOf(result.status, result.timedOut, result.written);
  if (result.status == 0 && !result.timedOut) {
    text += " (success)";
  } else if (!meaning.text.empty()) {
    // A service status and a system code look alike: the reading is the likely one.
    text += "\n  most likely: " + meaning.text;
  } else if (!result.systemText.empty()) {
    text += "\n  if this is a system error code: " + result.systemText;
  }
  return text + "\n";
}

std::string ResultJson(const Invocation& invocation, const CallResult& result) {
  const StatusMeaning meaning = MeaningOf(result.status, result.timedOut, result.written);
  const json object = {
      {"export", invocation.call->name},
      {"call", DescribeCall(invocation)},
      {"status", result.status},
      {"exitCode", ExitCodeFor(result.status)},
      {"timedOut", result.timedOut},
      {"systemText", result.systemText.empty() ? json() : json(result.systemText)},
      {"meaning", meaning.text.empty() ? json() : json(meaning.text)},
      {"mayHaveActed", meaning.mayHaveActed},
      {"notes", result.notes},
      {"dll", result.dll},
      {"version", result.version},
  };
  return Dump(object) + "\n";
}

std::vector<std::string> CutNotes(const Invocation& invocation,
                                  const std::vector<std::size_t>& ansiLengths, int edition) {
  std::vector<std::string> notes;
  // A single text, or StartSyncJob's two joined by "|".
  const bool joined = ansiLengths.size() == 2;
  const std::size_t kept = joined ? kJoinedKept : kTextKept;
  std::size_t param =
      joined ? ansiLengths[0] + 1 + ansiLengths[1] : (ansiLengths.empty() ? 0 : ansiLengths[0]);
  if (param > kept) {
    notes.push_back((joined ? "the two texts joined are " : "the text is ") +
                    std::to_string(param) + " bytes; the library sends " +
                    (joined ? "their" : "its") + " first " + std::to_string(kept));
    param = kept;
  }
  if (edition == 2) {
    // "job;code;param;": the job number (-1 for none), a four-digit code, three separators.
    const std::string job =
        invocation.numbers.empty() ? "-1" : std::to_string(invocation.numbers[0]);
    const std::size_t request = job.size() + 4 + param + 3;
    if (request > kEdition2RequestKept) {
      notes.push_back("the request text is " + std::to_string(request) +
                      " bytes; edition 2 sends its first " + std::to_string(kEdition2RequestKept));
    }
  }
  return notes;
}

std::string FailureText(const std::string& message) {
  return "jobctl: " + message + "\n";
}

std::string FailureJson(const char* kind, const std::string& message, int exitCode) {
  return Dump({{"error", kind}, {"message", message}, {"exitCode", exitCode}}) + "\n";
}

std::string HelpJson(const std::string& usage) {
  return Dump({{"help", usage}}) + "\n";
}

std::string VersionJson(const std::string& version) {
  return Dump({{"version", version}}) + "\n";
}

int ExitCodeFor(std::int32_t status) {
  // STILL_ACTIVE: what GetExitCodeProcess reports of a process that has not ended.
  constexpr std::int32_t kStillActive = 259;
  const bool lowByteZero = status != 0 && (status & 0xFF) == 0;
  return lowByteZero || status == kStillActive ? status | 0xFF : status;
}

}  // namespace velmora::jobctl
