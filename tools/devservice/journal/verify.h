// `velmora-devservice verify`: counts the requests in a journal that meet the conditions given,
// and says what it found and, when it disagrees, the nearest requests that did not match.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace velmora::devservice {

// What a verify looks for, the one reading of it: the command line fills it, a control line
// carries it (WriteConditions, ReadConditions), and CheckJournal meets it.
struct VerifyConditions {
  std::string exportName, text, rule, action;
  std::optional<std::int32_t> job;
  std::optional<std::int32_t> status;    // the status sent
  std::optional<std::uint64_t> since;    // requests numbered from this on
  std::optional<std::uint64_t> session;  // that session's requests only; 0: those outside any
  std::optional<long> count;             // exactly this many
  std::optional<long> atLeast;           // this many or more (1 when neither is given)
};

// The conditions as members of a control line: "export", "job", "text", "rule", "action",
// "status", "since", "session", "count", "at_least".
void WriteConditions(const VerifyConditions& conditions, nlohmann::json& line);
// Back from a control line, whose "op" is verify: false, with the reason, for a member it does
// not take or of the wrong type, or both counts.
bool ReadConditions(const nlohmann::json& line, VerifyConditions& conditions, std::string& error);

enum class Verdict { kAgrees = 0, kDisagrees = 1, kCannotTell = 2 };

// `journal` is the journal file's text; `report` gets what to print either way, and `count`,
// when given, the number of requests found.
Verdict CheckJournal(const std::string& journal, const VerifyConditions& conditions,
                     std::string& report, long* count = nullptr);
// The outcome as one JSON object: {"count":3,"agrees":true,"report":"..."} (a null count when
// the journal cannot be read).
std::string VerdictJson(Verdict verdict, long count, const std::string& report);

}  // namespace velmora::devservice
