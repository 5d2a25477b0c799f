#include "journal_check.h"

#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "export_table.h"
#include "rules.h"
#include "service_protocol.h"

namespace velmora::devservice {
namespace {

using Json = nlohmann::json;

struct Seen {
  std::string line;                 // as the journal shows it, shortened
  std::vector<std::string> misses;  // the conditions it does not meet
};

std::string Describe(const VerifyOptions& options) {
  std::string text;
  const auto add = [&text](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
  if (!options.exportName.empty()) add("export " + options.exportName);
  if (options.job) add("job " + std::to_string(*options.job));
  if (!options.text.empty()) add("text \"" + options.text + "\"");
  if (!options.rule.empty()) add("rule \"" + options.rule + "\"");
  return text.empty() ? "any request" : text;
}

std::string Shown(const Json& line) {
  std::string text = "#" + line.value("seq", Json(0)).dump() + " ";
  if (line.value("event", "") == "connection") {
    text += "connection";
  } else {
    text += line.value("command", "?") + " job " + line.value("job", Json(0)).dump() + " text " +
            line.value("param", Json("")).dump();
  }
  const Json rule = line.value("rule", Json());
  return text + " rule " + (rule.is_string() ? rule.dump() : "none");
}

}  // namespace

Verdict CheckJournal(const std::string& journal, const VerifyOptions& options,
                     std::string& report) {
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
  std::vector<Seen> missed;
  std::istringstream lines(journal);
  std::size_t number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    const Json entry = Json::parse(line, nullptr, false);
    if (entry.is_discarded() || !entry.is_object()) {
      report = "line " + std::to_string(number) + " of the journal is not JSON\n";
      return Verdict::kCannotTell;
    }
    const std::string event = entry.value("event", "");
    if (event != "request" && event != "connection") continue;
    const bool request = event == "request";
    Seen seen{Shown(entry), {}};
    if (code && !(request && entry.value("code", 0) == *code)) seen.misses.push_back("export");
    if (options.job && !(request && entry.value("job", 0) == *options.job)) {
      seen.misses.push_back("job");
    }
    if (!options.text.empty() && !(request && text.Holds(entry.value("param", "")))) {
      seen.misses.push_back("text");
    }
    const Json rule = entry.value("rule", Json());
    if (!options.rule.empty() && !(rule.is_string() && rule.get<std::string>() == options.rule)) {
      seen.misses.push_back("rule");
    }
    if (seen.misses.empty()) {
      ++found;
    } else {
      missed.push_back(std::move(seen));
    }
  }

  const bool exact = options.count.has_value();
  const long wanted = exact ? *options.count : options.atLeast.value_or(1);
  const bool agrees = exact ? found == wanted : found >= wanted;
  report = "found " + std::to_string(found) + " request(s) with " + Describe(options) +
           "; expected " + (exact ? "exactly " : "at least ") + std::to_string(wanted) + "\n";
  if (!agrees && !missed.empty()) {
    // The nearest are those that miss the fewest conditions, the latest first.
    std::size_t fewest = SIZE_MAX;
    for (const Seen& seen : missed) fewest = std::min(fewest, seen.misses.size());
    report += "nearest that did not match:\n";
    int shown = 0;
    for (auto it = missed.rbegin(); it != missed.rend() && shown < 5; ++it) {
      if (it->misses.size() != fewest) continue;
      std::string why;
      for (const std::string& miss : it->misses) why += (why.empty() ? "" : ", ") + miss;
      report += "  " + it->line + "  (differs in: " + why + ")\n";
      ++shown;
    }
  }
  return agrees ? Verdict::kAgrees : Verdict::kDisagrees;
}

}  // namespace velmora::devservice
