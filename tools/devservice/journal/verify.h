// `velmora-devservice verify`: counts the requests in a journal that meet the conditions given,
// and says what it found and, when it disagrees, the nearest requests that did not match.
#pragma once

#include <string>

#include "cli/options.h"

namespace velmora::devservice {

enum class Verdict { kAgrees = 0, kDisagrees = 1, kCannotTell = 2 };

// `journal` is the journal file's text; `report` gets what to print either way, and `count`,
// when given, the number of requests found.
Verdict CheckJournal(const std::string& journal, const VerifyOptions& options, std::string& report,
                     long* count = nullptr);
// The outcome as one JSON object: {"count":3,"agrees":true,"report":"..."} (a null count when
// the journal cannot be read).
std::string VerdictJson(Verdict verdict, long count, const std::string& report);

}  // namespace velmora::devservice
