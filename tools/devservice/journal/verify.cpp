#include "journal/verify.h"

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <type_traits>
#include <vector>

#include "export_table.h"
#include "frames/service_protocol.h"
#include "journal/entry.h"
#include "rules/rules.h"
#include "text/json_members.h"

namespace velmora::devservice {
namespace {

struct Seen {
  std::string line;                 // "#3 StartJob(6)"
  std::vector<std::string> misses;  // what it has instead of what was asked: "job 6, not 5"
};

std::string Describe(const VerifyConditions& options) {
  std::string text;
  const auto add = [&text](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
  if (!options.exportName.empty()) add("export " + options.exportName);
  if (options.job) add("job " + std::to_string(*options.job));
  if (!options.text.empty()) add("text \"" + options.text + "\"");
  if (!options.rule.empty()) add("rule \"" + options.rule + "\"");
  if (!options.action.empty()) add("action " + options.action);
  if (options.status) add("status " + std::to_string(*options.status));
  if (options.since) add("from #" + std::to_string(*options.since));
  if (options.session) add("session " + std::to_string(*options.session));
  return text.empty() ? "any request" : text;
}

std::string Shown(const JournalEntry& entry) {
  return "#" + std::to_string(entry.seq) + " " +
         (entry.IsRequest() ? entry.command + "(" + std::to_string(entry.job) + ")"
                            : std::string("connection"));
}

std::string Quoted(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// "job 6, not 5": what the request had where a condition asked for another.
std::string Differs(const char* what, const std::string& had, const std::string& wanted) {
  return std::string(what) + " " + had + ", not " + wanted;
}

// The sequence numbers missing between those met, as "#14-#16, #18". A number not above the
// one before starts a new run of the service (the journal is appended to across runs).
class Gaps {
 public:
  void Met(std::uint64_t seq) {
    if (last_ != 0 && seq > last_ + 1) {
      text_ += (text_.empty() ? "#" : ", #") + std::to_string(last_ + 1) +
               (seq > last_ + 2 ? "-#" + std::to_string(seq - 1) : "");
    }
    last_ = seq;
  }
  const std::string& Text() const { return text_; }

 private:
  std::uint64_t last_ = 0;
  std::string text_;
};

}  // namespace

void WriteConditions(const VerifyConditions& conditions, nlohmann::json& line) {
  if (!conditions.exportName.empty()) line["export"] = conditions.exportName;
  if (!conditions.text.empty()) line["text"] = conditions.text;
  if (!conditions.rule.empty()) line["rule"] = conditions.rule;
  if (!conditions.action.empty()) line["action"] = conditions.action;
  if (conditions.job) line["job"] = *conditions.job;
  if (conditions.status) line["status"] = *conditions.status;
  if (conditions.since) line["since"] = *conditions.since;
  if (conditions.session) line["session"] = *conditions.session;
  if (conditions.count) line["count"] = *conditions.count;
  if (conditions.atLeast) line["at_least"] = *conditions.atLeast;
}

bool ReadConditions(const nlohmann::json& line, VerifyConditions& conditions, std::string& error) {
  try {
    OnlyMembers(line, "verify",
                {"export", "job", "text", "rule", "action", "status", "since", "session", "count",
                 "at_least"});
    conditions.exportName = TextMember(line, "export");
    conditions.text = TextMember(line, "text");
    conditions.rule = TextMember(line, "rule");
    conditions.action = TextMember(line, "action");
    conditions.job = WholeMember<std::int32_t>(line, "job");
    conditions.status = WholeMember<std::int32_t>(line, "status");
    conditions.since = WholeMember<std::uint64_t>(line, "since");
    conditions.session = WholeMember<std::uint64_t>(line, "session");
    conditions.count = CountMember(line, "count");
    conditions.atLeast = CountMember(line, "at_least");
  } catch (const MemberRefused& refused) {
    error = refused.error;
    return false;
  }
  if (conditions.count && conditions.atLeast) {
    error = "give \"count\" or \"at_least\", not both";
    return false;
  }
  return true;
}

Verdict CheckJournal(const std::string& journal, const VerifyConditions& options,
                     std::string& report, long* count) {
  std::optional<std::int32_t> code;
  if (!options.exportName.empty()) {
    const tools::ExportInfo* info = tools::ExportNamed(options.exportName);
    if (info == nullptr || !info->command) {
      report = "--export: \"" + options.exportName + "\" is not an export that sends a request\n";
      return Verdict::kCannotTell;
    }
    code = static_cast<std::int32_t>(*info->command);
  }
  TextMatch text;
  if (!options.text.empty() && !ReadTextMatch(options.text, text, report)) {
    report = "--text: " + report + "\n";
    return Verdict::kCannotTell;
  }

  long found = 0;
  long gaveUp = 0;  // request texts the pattern gave up on
  std::vector<Seen> missed;
  Gaps gaps;
  std::istringstream lines(journal);
  std::size_t number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    JournalEntry entry;
    std::string why;
    if (!ReadJournalEntry(line, entry, why)) {
      report = "the journal cannot be read: line " + std::to_string(number) + ": " + why + "\n";
      return Verdict::kCannotTell;
    }
    // A reset of the journal starts the numbering again, and a new run to count.
    if (entry.restartsNumbering) {
      found = 0;
      gaveUp = 0;
      missed.clear();
      gaps = Gaps();
    }
    if (!entry.IsCaller()) continue;
    const bool request = entry.IsRequest();
    gaps.Met(entry.seq);
    if (options.since && entry.seq < *options.since) continue;
    if (options.session && entry.session != *options.session) continue;
    Seen seen{Shown(entry), {}};
    auto& misses = seen.misses;
    const std::string none = "none";
    if (code && !(request && entry.code == *code)) {
      misses.push_back(Differs("export", request ? entry.command : none, options.exportName));
    }
    if (options.job && !(request && entry.job == *options.job)) {
      misses.push_back(
          Differs("job", request ? std::to_string(entry.job) : none, std::to_string(*options.job)));
    }
    bool overBound = false;
    if (!options.text.empty() && !(request && text.Holds(entry.param, &overBound))) {
      misses.push_back(Differs("text", request ? Quoted(entry.param) : none, Quoted(options.text)));
    }
    if (overBound) ++gaveUp;
    if (!options.rule.empty() && entry.rule != options.rule) {
      misses.push_back(
          Differs("rule", entry.rule.empty() ? none : Quoted(entry.rule), Quoted(options.rule)));
    }
    if (!options.action.empty() && entry.action != options.action) {
      misses.push_back(
          Differs("action", entry.action.empty() ? none : entry.action, options.action));
    }
    // A status of null (no reply) is met by no --status.
    if (options.status && entry.status != options.status) {
      misses.push_back(Differs("status", entry.status ? std::to_string(*entry.status) : none,
                               std::to_string(*options.status)));
    }
    if (seen.misses.empty()) {
      ++found;
    } else {
      missed.push_back(std::move(seen));
    }
  }

  if (count != nullptr) *count = found;
  const bool exact = options.count.has_value();
  const long wanted = exact ? *options.count : options.atLeast.value_or(1);
  const bool agrees = exact ? found == wanted : found >= wanted;
  report = "found " + std::to_string(found) + " request(s) with " + Describe(options) +
           "; expected " + (exact ? "exactly " : "at least ") + std::to_string(wanted) + "\n";
  if (gaveUp > 0) {
    report += "the pattern gave up on " + std::to_string(gaveUp) +
              " request text(s), past its matching bound: counted as no match\n";
  }
  if (!gaps.Text().empty()) {
    report += "the journal lacks request(s) " + gaps.Text() +
              ": lines the service could not write, so the count may be short\n";
  }
  if (!agrees && !missed.empty()) {
    // The nearest are those that miss the fewest conditions, the latest first.
    std::size_t fewest = SIZE_MAX;
    for (const Seen& seen : missed) fewest = std::min(fewest, seen.misses.size());
    report += "nearest that did not match:\n";
    int shown = 0;
    for (auto it = missed.rbegin(); it != missed.rend() && shown < 5; ++it) {
      if (it->misses.size() != fewest) continue;
      std::string why;
      for (const std::string& miss : it->misses) why += (why.empty() ? "" : "; ") + miss;
      report += "  " + it->line + ": " + why + "\n";
      ++shown;
    }
  }
  return agrees ? Verdict::kAgrees : Verdict::kDisagrees;
}

std::string VerdictJson(Verdict verdict, long count, const std::string& report) {
  using Ordered = nlohmann::ordered_json;
  const Ordered object = {{"count", verdict == Verdict::kCannotTell ? Ordered() : Ordered(count)},
                          {"agrees", verdict == Verdict::kAgrees},
                          {"report", report}};
  return object.dump() + "\n";
}

}  // namespace velmora::devservice
