#include "sweep/plan.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <tuple>

#include "decimal.h"
#include "export_table.h"
#include "rules/planner.h"
#include "rules/rules.h"
#include "text/json_text.h"
#include "text/text_model.h"

namespace velmora::devservice {
namespace {

using Json = nlohmann::ordered_json;

// How long a pipe outage lasts from the moment the call before it was read: the library's own
// wait (5 s busy, about 2 s of connect attempts) and a second for the host to make its call.
constexpr std::uint64_t kBusyWindowMs = 6000;
constexpr std::uint64_t kAbsentWindowMs = 3000;

std::size_t Count(const std::vector<SweepCall>& calls, std::size_t from, const SweepCall& call) {
  if (from >= calls.size()) return 0;
  return static_cast<std::size_t>(
      std::count(calls.begin() + static_cast<std::ptrdiff_t>(from), calls.end(), call));
}

template <typename T>
Json OrNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

Json SiteJson(const std::optional<CallSite>& site) {
  if (!site) return nullptr;
  return Json{{"module", site->module},
              {"function", OrNull(site->function)},
              {"file", OrNull(site->file)},
              {"line", OrNull(site->line)},
              {"offset", site->offset}};
}

Json CallJson(const SweepCall& call) {
  return Json{{"export", call.exportName},
              {"job", call.job},
              {"text", OrNull(call.text)},
              {"site", SiteJson(call.site)}};
}

// The command an export sends; none for one that sends nothing or is unknown.
std::optional<JobCommand> CommandOf(const std::string& exportName) {
  const tools::ExportInfo* info = tools::ExportNamed(exportName);
  return info != nullptr ? info->command : std::nullopt;
}

// One code path: calls of one export from one line of the host's source, or without line
// information from one return address in one module. A loop the compiler unrolled makes its
// calls from several addresses, all on the loop's line.
using CodePath = std::tuple<std::string, std::string, std::uint64_t, std::string>;
std::optional<CodePath> PathOf(const SweepCall& call) {
  if (!call.site) return std::nullopt;
  const CallSite& site = *call.site;
  if (site.file && site.line) return CodePath(site.module, *site.file, *site.line, call.exportName);
  return CodePath(site.module, "", site.offset, call.exportName);
}

// "1-3,7": the numbers in order, runs of them as ranges.
std::string ListOf(const std::vector<std::size_t>& numbers) {
  std::string text;
  for (std::size_t i = 0; i < numbers.size();) {
    std::size_t last = i;
    while (last + 1 < numbers.size() && numbers[last + 1] == numbers[last] + 1) ++last;
    if (i > 0) text += ",";
    text += std::to_string(numbers[i]) + (last > i ? "-" + std::to_string(numbers[last]) : "");
    i = last + 1;
  }
  return text;
}

// "call 3", "calls 1-5", "calls 1-3,7".
std::string CallNumbers(const std::vector<std::size_t>& calls) {
  return (calls.size() == 1 ? "call " : "calls ") + ListOf(calls);
}

// An exit code in the system's range of errors (0xC0000000 up): a fail-fast, a stack overrun
// or another end the process did not choose, which no debug event may have told.
bool IsCrashCode(std::optional<std::uint32_t> code) {
  return code && (*code & 0xC0000000u) == 0xC0000000u;
}

std::string Hex(std::uint32_t code) {
  char text[16];
  (void)std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

std::string CellText(const SweepRun& run) {
  std::string text = VerdictName(run.verdict);
  if (run.verdict == SweepVerdict::kReported && run.record.exitCode) {
    text += " " + std::to_string(*run.record.exitCode);
  } else if (run.verdict == SweepVerdict::kCrashed && run.record.exception) {
    text += " " + run.record.exception->substr(0, run.record.exception->find(' '));
  } else if (run.verdict == SweepVerdict::kCrashed && IsCrashCode(run.record.exitCode)) {
    text += " " + Hex(*run.record.exitCode);
  }
  return text;
}

// The page's class for a verdict: its name, "not met" as "not-met".
std::string StyleName(SweepVerdict verdict) {
  std::string name = VerdictName(verdict);
  std::replace(name.begin(), name.end(), ' ', '-');
  return name;
}

}  // namespace

std::string HowItEnded(const RunRecord& record) {
  if (record.exception) return *record.exception;
  if (record.timedOut) return "the time limit";
  if (IsCrashCode(record.exitCode)) return "exit " + Hex(*record.exitCode);
  return record.exitCode ? "exit " + std::to_string(*record.exitCode) : "";
}

const char* VerdictName(SweepVerdict verdict) {
  switch (verdict) {
    case SweepVerdict::kCrashed:
      return "crashed";
    case SweepVerdict::kLooped:
      return "looped";
    case SweepVerdict::kHung:
      return "hung";
    case SweepVerdict::kNotMet:
      return "not met";
    case SweepVerdict::kReported:
      return "reported";
    case SweepVerdict::kRepeated:
      return "repeated";
    case SweepVerdict::kRetried:
      return "retried";
    case SweepVerdict::kAbsorbed:
      return "absorbed";
  }
  return "?";
}

const std::vector<std::string>& DefaultFaults() {
  static const std::vector<std::string> faults = {
      "hang-up-after-read", "partial:100", "empty:forever", "hang", "garbled",
      "reply:1168",         "reply:5023",  "reply:87",      "busy", "absent",
      "hang-up-before-read"};
  return faults;
}

bool ActsOnThePipe(const std::string& fault) {
  return fault == "busy" || fault == "absent" || fault == "hang-up-before-read";
}

bool RunsAlone(const std::string& fault) {
  return fault == "busy" || fault == "absent";
}

std::size_t DefaultParallel(unsigned cores) {
  return std::max<std::size_t>(cores, 2);
}

RunSchedule::RunSchedule(const std::vector<bool>& alone, std::size_t parallel)
    : alone_(alone), parallel_(std::max<std::size_t>(parallel, 1)) {
  for (const bool wanted : {false, true}) {
    for (std::size_t run = 0; run < alone.size(); ++run) {
      if (alone[run] == wanted) order_.push_back(run);
    }
  }
}

std::optional<std::size_t> RunSchedule::Next() {
  if (stopped_ || next_ == order_.size() || inFlight_ == parallel_ || aloneInFlight_) {
    return std::nullopt;
  }
  const std::size_t run = order_[next_];
  if (alone_[run] && inFlight_ > 0) return std::nullopt;
  ++next_;
  ++inFlight_;
  aloneInFlight_ = alone_[run];
  return run;
}

void RunSchedule::Ended(std::size_t run) {
  --inFlight_;
  if (alone_[run]) aloneInFlight_ = false;
}

bool ParseCallList(const std::string& text, std::size_t calls, std::vector<std::size_t>& chosen,
                   std::string& error) {
  std::vector<bool> named(calls + 1, false);
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t end = std::min(text.find(',', at), text.size());
    const std::string part = text.substr(at, end - at);
    const std::size_t dash = part.find('-');
    long long first = 0, last = 0;
    const bool read = dash == std::string::npos
                          ? tools::ParseDecimal(part, first) && (last = first, true)
                          : tools::ParseDecimal(part.substr(0, dash), first) &&
                                tools::ParseDecimal(part.substr(dash + 1), last);
    if (!read || first < 1 || last < first) {
      error = "--calls: \"" + part + "\" is not a call or a range of calls (1-3,5)";
      return false;
    }
    if (static_cast<unsigned long long>(last) > calls) {
      error = "--calls: the host made " + std::to_string(calls) + " call(s), not " +
              std::to_string(last);
      return false;
    }
    for (long long call = first; call <= last; ++call) named[call] = true;
    at = end + 1;
  }
  chosen.clear();
  for (std::size_t call = 1; call <= calls; ++call) {
    if (named[call]) chosen.push_back(call);
  }
  return true;
}

bool ParseFaultList(const std::string& text, std::vector<std::string>& faults, std::string& error) {
  faults.clear();
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t end = std::min(text.find(',', at), text.size());
    const std::string fault = text.substr(at, end - at);
    RuleSet rules;
    if (!PresetRules(fault, rules, error)) {
      error = "--faults: " + error.substr(error.find(": ") + 2) + " (" + fault + ")";
      return false;
    }
    if (std::find(faults.begin(), faults.end(), fault) == faults.end()) faults.push_back(fault);
    at = end + 1;
  }
  return true;
}

bool FaultCarriesOut(const std::string& fault) {
  RuleSet rules;
  std::string error;
  if (ActsOnThePipe(fault) || !PresetRules(fault, rules, error)) return false;
  Plan plan;
  plan.what = rules.rules.front().steps.front();
  return plan.NeedsJobTable();
}

std::string RulesForRun(std::size_t call, const std::string& fault, std::uint64_t seed,
                        bool persist) {
  Json rule = {{"name", "call " + std::to_string(call) + ": " + fault}};
  if (fault == "busy" || fault == "absent") {
    rule["after_requests"] = call - 1;
    if (!persist) rule["for_ms"] = fault == "busy" ? kBusyWindowMs : kAbsentWindowMs;
    rule["do"] = fault;
  } else {
    // Requests before the call are carried out as without rules; the call meets the fault,
    // once (or, persisting, from then on); then the rule steps aside. A hang-up before the
    // read is due once the call before has been read, and takes the next connection.
    Json steps = Json::array();
    if (fault == "hang-up-before-read") {
      rule["after_requests"] = call - 1;
    } else if (call > 1) {
      steps.push_back(Json{{"times", call - 1}, {"do", "reply"}});
    }
    Json last = Json::object();
    if (!persist) last["times"] = 1;
    std::string error;
    const Json step = Json::parse(PresetStep(fault, error));
    for (const auto& [key, value] : step.items()) last[key] = value;
    steps.push_back(last);
    rule["steps"] = steps;
    rule["then"] = persist ? "stay" : "pass";
  }
  return Json{{"seed", seed}, {"rules", Json::array({rule})}}.dump(2) + "\n";
}

std::string ReproRules(std::size_t call, const std::string& fault, std::uint64_t seed, bool persist,
                       bool exactWindow) {
  std::string rules = RulesForRun(call, fault, seed, persist);
  if (!exactWindow || (fault != "busy" && fault != "absent")) return rules;
  Json file = Json::parse(rules);
  file["comment"] =
      "In the sweep this " + fault + " window opened as call " + std::to_string(call) +
      " entered the library and " +
      (persist ? std::string("held to the run's end")
               : std::string("closed as that call returned")) +
      ". Outside the sweep it is timed, not exact: it opens once " + std::to_string(call - 1) +
      " request(s) have been read and " +
      (persist ? std::string("holds from then on.")
               : "lasts " + std::to_string(fault == "busy" ? kBusyWindowMs : kAbsentWindowMs) +
                     " ms, so a slower or faster host may meet it at another call.");
  Json ordered = {{"comment", file["comment"]}, {"seed", file["seed"]}, {"rules", file["rules"]}};
  return ordered.dump(2) + "\n";
}

std::string PipeWindowRules(std::size_t call, const std::string& fault, std::uint64_t seed) {
  const Json rule = {{"name", "call " + std::to_string(call) + ": " + fault}, {"do", fault}};
  return Json{{"seed", seed}, {"rules", Json::array({rule})}}.dump(2) + "\n";
}

std::size_t FaultStep(std::size_t call, const std::string& fault) {
  if (fault == "busy" || fault == "absent") return 0;
  return fault != "hang-up-before-read" && call > 1 ? 2 : 1;
}

std::string OutFolderRefusal(const std::string& folder, const OutFolder& found, bool force,
                             std::vector<std::string>& stale) {
  stale.clear();
  if (found.kind == OutFolder::Kind::kFile) return "--out " + folder + " is a file, not a folder";
  if (found.files.empty()) return "";
  const auto sweeps = [](const std::string& name) {
    const auto under = [&name](const char* dir, const char* ext) {
      const std::size_t dirLength = std::char_traits<char>::length(dir);
      const std::size_t extLength = std::char_traits<char>::length(ext);
      return name.size() > dirLength + extLength && name.compare(0, dirLength, dir) == 0 &&
             name.find('/', dirLength) == std::string::npos &&
             name.compare(name.size() - extLength, extLength, ext) == 0;
    };
    return name == "report.json" || name == "report.html" || under("runs/", ".out") ||
           under("repro/", ".json");
  };
  const auto other = std::find_if_not(found.files.begin(), found.files.end(), sweeps);
  const bool earlierSweep =
      other == found.files.end() &&
      std::find(found.files.begin(), found.files.end(), "report.json") != found.files.end();
  if (!earlierSweep) {
    return "--out " + folder + " is not empty" +
           (other != found.files.end() ? " (it holds " + *other + ")" : "") +
           ": give a new or empty folder";
  }
  if (!force) {
    return "--out " + folder + " holds an earlier sweep: give --force to replace it";
  }
  stale = found.files;
  return "";
}

std::string TooManyRuns(std::size_t runs, bool callsChosen, std::optional<std::size_t> maxRuns) {
  if (!maxRuns && callsChosen) return "";
  const std::size_t bound = maxRuns.value_or(kDefaultMaxRuns);
  if (runs <= bound) return "";
  return std::to_string(runs) + " runs to make, more than " + std::to_string(bound) +
         (maxRuns ? " (--max-runs)" : "") +
         ": choose the calls with --calls, or allow more with --max-runs";
}

std::size_t Repeats(const RunRecord& baseline, const RunRecord& run, std::size_t call,
                    const std::string& fault) {
  if (call == 0 || call > baseline.requests.size()) return 0;
  // A request-level fault was read as the call-th request; a pipe fault kept it from being read.
  const SweepCall& faulted = baseline.requests[call - 1];
  const std::size_t sent = Count(run.requests, ActsOnThePipe(fault) ? call - 1 : call, faulted);
  const std::size_t expected = Count(baseline.requests, call, faulted);
  // Connections hung up on before their request was read, after the first, are tries again.
  const std::size_t unread =
      fault == "hang-up-before-read" && run.hits > 1 ? run.hits - 1 : std::size_t{0};
  return (sent > expected ? sent - expected : 0) + unread;
}

SweepVerdict Judge(const RunRecord& baseline, const RunRecord& run, std::size_t call,
                   const std::string& fault) {
  if (run.exception || (IsCrashCode(run.exitCode) && run.exitCode != baseline.exitCode)) {
    return SweepVerdict::kCrashed;
  }
  const std::size_t repeats = Repeats(baseline, run, call, fault);
  if (run.timedOut) return repeats >= kLoopRepeats ? SweepVerdict::kLooped : SweepVerdict::kHung;
  if (!run.faultMet) return SweepVerdict::kNotMet;
  if (run.exitCode != baseline.exitCode) return SweepVerdict::kReported;
  if (repeats == 0) return SweepVerdict::kAbsorbed;
  return FaultCarriesOut(fault) ? SweepVerdict::kRepeated : SweepVerdict::kRetried;
}

bool VerdictFails(SweepVerdict verdict, bool allowRepeats) {
  return verdict == SweepVerdict::kCrashed || verdict == SweepVerdict::kHung ||
         verdict == SweepVerdict::kLooped || (verdict == SweepVerdict::kRepeated && !allowRepeats);
}

bool Diverged(const RunRecord& baseline, const RunRecord& run, std::size_t call,
              const std::string& fault) {
  if (call == 0 || call > baseline.requests.size()) return false;
  // A fault the service reads was read as the call-th request; a pipe fault kept it unread.
  const std::size_t same = ActsOnThePipe(fault) ? call - 1 : call;
  return run.requests.size() < same ||
         !std::equal(run.requests.begin(), run.requests.begin() + static_cast<std::ptrdiff_t>(same),
                     baseline.requests.begin());
}

bool SendsRequest(const std::string& exportName) {
  return CommandOf(exportName).has_value();
}

std::vector<std::optional<std::size_t>> AttributeSites(std::vector<SweepCall>& requests,
                                                       const std::vector<CallHit>& hits) {
  std::vector<std::optional<std::size_t>> made(requests.size());
  std::vector<bool> taken(hits.size(), false);
  std::size_t first = 0;  // every hit before it is taken
  for (SweepCall& request : requests) {
    const std::optional<JobCommand> sent = CommandOf(request.exportName);
    for (std::size_t i = first; sent && i < hits.size(); ++i) {
      if (!taken[i] && CommandOf(hits[i].exportName) == sent) {
        request.site = hits[i].site;
        made[static_cast<std::size_t>(&request - requests.data())] = i;
        taken[i] = true;
        break;
      }
    }
    while (first < hits.size() && taken[first]) ++first;
  }
  return made;
}

std::vector<std::size_t> FirstCallPerSite(const std::vector<SweepCall>& calls) {
  std::vector<std::size_t> first;
  std::vector<CodePath> seen;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const auto path = PathOf(calls[i]);
    if (path && std::find(seen.begin(), seen.end(), *path) != seen.end()) continue;
    if (path) seen.push_back(*path);
    first.push_back(i + 1);
  }
  return first;
}

std::string SiteLabel(const CallSite& site) {
  if (site.file && site.line) {
    return site.file->substr(site.file->find_last_of("\\/") + 1) + ":" + std::to_string(*site.line);
  }
  char offset[24];
  (void)std::snprintf(offset, sizeof offset, "+0x%llx",
                      static_cast<unsigned long long>(site.offset));
  return site.module + offset;
}

std::string OutputCutNote(std::uint64_t dropped) {
  return "\n[velmora-devservice sweep: the output was cut here, at " +
         std::to_string(kRunOutputCap) + " bytes; " + std::to_string(dropped) +
         " more byte(s) not kept]\n";
}

std::string RunId(std::size_t index) {
  std::string id = std::to_string(index);
  return std::string(id.size() < 3 ? 3 - id.size() : 0, '0') + id;
}

std::string CallLabel(const SweepCall& call) {
  std::string label = call.exportName + "(" + std::to_string(call.job);
  if (call.text) {
    const std::string shown = call.text->size() > 40 ? CutUtf8(*call.text, 37) + "..." : *call.text;
    label += ", \"" + shown + "\"";
  }
  return label + ")";
}

std::string ReportJson(const SweepReport& report) {
  Json calls = Json::array();
  for (const SweepCall& call : report.baseline.requests) calls.push_back(CallJson(call));
  Json runs = Json::array();
  for (std::size_t i = 0; i < report.runs.size(); ++i) {
    const SweepRun& run = report.runs[i];
    const std::string id = RunId(i + 1);
    runs.push_back(
        Json{{"id", id},
             {"call", run.call},
             {"site", run.call >= 1 && run.call <= report.baseline.requests.size()
                          ? SiteJson(report.baseline.requests[run.call - 1].site)
                          : Json(nullptr)},
             {"fault", run.fault},
             {"verdict", VerdictName(run.verdict)},
             {"exit", run.record.exitCode ? Json(*run.record.exitCode) : Json(nullptr)},
             {"exception", run.record.exception ? Json(*run.record.exception) : Json(nullptr)},
             {"ms", run.record.ms},
             {"requests", run.record.requests.size()},
             {"carried_out", run.record.faultMet && FaultCarriesOut(run.fault)},
             {"repeats", Repeats(report.baseline, run.record, run.call, run.fault)},
             {"repro", "repro/" + id + ".json"},
             {"output", "runs/" + id + ".out"},
             {"output_cut", run.record.outputCut},
             {"reached", OrNull(run.record.reached)},
             {"expected", run.expected ? Json(*run.expected) : Json(nullptr)},
             {"diverged", Diverged(report.baseline, run.record, run.call, run.fault)}});
  }
  return Json{
             {"host", report.host},
             {"timeout_s", report.timeoutS},
             {"seed", report.seed},
             {"persist", report.persist},
             {"baseline",
              {{"exit", report.baseline.exitCode ? Json(*report.baseline.exitCode) : Json(nullptr)},
               {"ms", report.baseline.ms},
               {"output_cut", report.baseline.outputCut},
               {"calls", calls}}},
             {"runs", runs},
             {"changes", report.changes ? Json(*report.changes) : Json(nullptr)}}
             .dump(2, ' ', false, Json::error_handler_t::replace) +
         "\n";
}

namespace {

// The faults in the order the runs met them, and each swept call's runs by fault.
struct Matrix {
  std::vector<std::string> faults;
  std::vector<std::size_t> calls;
  std::map<std::pair<std::size_t, std::string>, std::size_t> run;  // (call, fault) -> index
};

Matrix MatrixOf(const SweepReport& report) {
  Matrix matrix;
  for (std::size_t i = 0; i < report.runs.size(); ++i) {
    const SweepRun& run = report.runs[i];
    if (std::find(matrix.faults.begin(), matrix.faults.end(), run.fault) == matrix.faults.end()) {
      matrix.faults.push_back(run.fault);
    }
    if (std::find(matrix.calls.begin(), matrix.calls.end(), run.call) == matrix.calls.end()) {
      matrix.calls.push_back(run.call);
    }
    matrix.run[{run.call, run.fault}] = i;
  }
  return matrix;
}

}  // namespace

std::string RowLabel(const SweepReport& report, std::size_t call) {
  const auto& calls = report.baseline.requests;
  if (call == 0 || call > calls.size()) return std::to_string(call) + " ?";
  const SweepCall& made = calls[call - 1];
  if (!made.site) return std::to_string(call) + " " + CallLabel(made);
  std::vector<std::size_t> same;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (PathOf(calls[i]) == PathOf(made)) same.push_back(i + 1);
  }
  return SiteLabel(*made.site) + " " + CallLabel(made) + ", " + CallNumbers(same);
}

std::string CellName(const SweepReport& report, std::size_t call) {
  const auto& calls = report.baseline.requests;
  const bool sited = call > 0 && call <= calls.size() && calls[call - 1].site;
  return (sited ? "" : "call ") + RowLabel(report, call);
}

std::string ReportTable(const SweepReport& report) {
  const Matrix matrix = MatrixOf(report);
  std::vector<std::vector<std::string>> rows = {{"call"}};
  for (const std::string& fault : matrix.faults) rows[0].push_back(fault);
  bool diverged = false;
  for (const std::size_t call : matrix.calls) {
    std::vector<std::string> row = {RowLabel(report, call)};
    for (const std::string& fault : matrix.faults) {
      const auto found = matrix.run.find({call, fault});
      if (found == matrix.run.end()) {
        row.emplace_back();
        continue;
      }
      const SweepRun& run = report.runs[found->second];
      const bool other = Diverged(report.baseline, run.record, run.call, run.fault);
      diverged = diverged || other;
      row.push_back(CellText(run) + (other ? " *" : "") +
                    (run.expected ? " (expected " + *run.expected + ")" : ""));
    }
    rows.push_back(row);
  }
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string table;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i] + std::string(widths[i] - row[i].size() + 2, ' ');
    }
    table += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
  }
  if (diverged) {
    table +=
        "* the run made other calls than the baseline before its fault: the host is not "
        "deterministic, and the cell may not say what the fault did\n";
  }
  return table;
}

std::string CommandLine(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line += ' ';
    if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) {
      line += word;
      continue;
    }
    // Backslashes count only before a quote: doubled there, and before the closing one.
    line += '"';
    std::size_t backslashes = 0;
    for (const char c : word) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
      backslashes = 0;
      line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
  }
  return line;
}

std::string PageData(const SweepReport& report) {
  const Matrix matrix = MatrixOf(report);
  const std::string command = CommandLine(report.host);
  Json faults = Json::array();
  for (const std::string& fault : matrix.faults) faults.push_back(Json{{"name", fault}});
  Json rows = Json::array();
  for (const std::size_t call : matrix.calls) {
    Json cells = Json::array();
    for (const std::string& fault : matrix.faults) {
      const auto found = matrix.run.find({call, fault});
      if (found == matrix.run.end()) {
        cells.push_back(Json{{"swept", false}});
        continue;
      }
      const SweepRun& run = report.runs[found->second];
      const std::string id = RunId(found->second + 1);
      cells.push_back(Json{{"swept", true},
                           {"verdict", StyleName(run.verdict)},
                           {"text", VerdictName(run.verdict)},
                           {"how", HowItEnded(run.record)},
                           {"ms", run.record.ms},
                           {"output", "runs/" + id + ".out"},
                           {"repro", "repro/" + id + ".json"},
                           {"changed", run.expected.has_value()},
                           {"diverged", Diverged(report.baseline, run.record, run.call, run.fault)},
                           {"spread", run.record.reached && run.record.reached->size() > 1},
                           {"reached", run.record.reached ? ListOf(*run.record.reached) : ""},
                           {"expected", run.expected.value_or("")}});
    }
    rows.push_back(Json{{"label", RowLabel(report, call)}, {"cells", cells}});
  }
  Json counts = Json::array();
  for (const SweepVerdict verdict :
       {SweepVerdict::kCrashed, SweepVerdict::kLooped, SweepVerdict::kHung, SweepVerdict::kReported,
        SweepVerdict::kRepeated, SweepVerdict::kRetried, SweepVerdict::kAbsorbed,
        SweepVerdict::kNotMet}) {
    const auto count =
        std::count_if(report.runs.begin(), report.runs.end(),
                      [verdict](const SweepRun& run) { return run.verdict == verdict; });
    counts.push_back(
        Json{{"verdict", VerdictName(verdict)}, {"style", StyleName(verdict)}, {"count", count}});
  }
  const auto diverged = std::count_if(report.runs.begin(), report.runs.end(), [&](const auto& run) {
    return Diverged(report.baseline, run.record, run.call, run.fault);
  });
  return Json{{"command", command},
              {"diverged", diverged},
              {"nondeterministic", diverged > 0},
              {"baseline_exit", report.baseline.exitCode ? *report.baseline.exitCode : 0},
              {"baseline_ms", report.baseline.ms},
              {"seed", std::to_string(report.seed)},
              {"version", report.libraryVersion},
              {"runs", report.runs.size()},
              {"persist", report.persist},
              {"counts", counts},
              {"faults", faults},
              {"rows", rows}}
      .dump(-1, ' ', false, Json::error_handler_t::replace);
}

namespace {

// A baseline call as report.json gives it; what it lacks or holds of another type is left out.
SweepCall CallFromJson(const Json& json) {
  SweepCall call;
  if (!json.is_object()) return call;
  const auto text = [](const Json& in, const char* key) -> std::optional<std::string> {
    const auto found = in.find(key);
    if (found == in.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
  };
  call.exportName = text(json, "export").value_or("");
  if (json.contains("job") && json["job"].is_number_integer()) call.job = json["job"].get<int>();
  call.text = text(json, "text");
  const auto site = json.find("site");
  if (site == json.end() || !site->is_object() || !text(*site, "module")) return call;
  CallSite where;
  where.module = *text(*site, "module");
  where.function = text(*site, "function");
  where.file = text(*site, "file");
  if (site->contains("line") && (*site)["line"].is_number_unsigned()) {
    where.line = (*site)["line"].get<std::uint32_t>();
  }
  if (site->contains("offset") && (*site)["offset"].is_number_unsigned()) {
    where.offset = (*site)["offset"].get<std::uint64_t>();
  }
  call.site = where;
  return call;
}

// A run's cell key; a call past the baseline's (a report written by hand) by its number.
std::string KeyOf(const std::vector<std::string>& keys, std::size_t call) {
  return call >= 1 && call <= keys.size() ? keys[call - 1] : "call " + std::to_string(call);
}

}  // namespace

std::vector<std::string> CellKeys(const std::vector<SweepCall>& calls) {
  std::vector<std::string> keys;
  std::map<CodePath, std::size_t> seen;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const std::optional<CodePath> path = PathOf(calls[i]);
    if (!path) {
      keys.push_back("call " + std::to_string(i + 1));
      continue;
    }
    const std::size_t nth = ++seen[*path];
    keys.push_back(calls[i].site->module + " " + SiteLabel(*calls[i].site) + " " +
                   calls[i].exportName + (nth > 1 ? " #" + std::to_string(nth) : ""));
  }
  return keys;
}

bool ReadExpectedVerdicts(const std::string& reportJson, ExpectedVerdicts& expected,
                          std::string& error) {
  if (const auto fault = CheckJsonText(reportJson, 16)) {
    error = "line " + std::to_string(LineAt(reportJson, fault->offset)) + ": " + fault->reason;
    return false;
  }
  const Json report = Json::parse(reportJson, nullptr, false);
  if (report.is_discarded()) {
    error = "it is not JSON";
    return false;
  }
  if (!report.is_object() || !report.contains("runs") || !report["runs"].is_array()) {
    error = "it is no sweep's report.json: it has no \"runs\"";
    return false;
  }
  // The earlier sweep's baseline names its cells, by site where it had them.
  SweepReport earlier;
  if (report.contains("baseline") && report["baseline"].is_object() &&
      report["baseline"].contains("calls") && report["baseline"]["calls"].is_array()) {
    for (const Json& call : report["baseline"]["calls"]) {
      earlier.baseline.requests.push_back(CallFromJson(call));
    }
  }
  const std::vector<std::string> keys = CellKeys(earlier.baseline.requests);
  expected.clear();
  std::size_t number = 0;
  for (const Json& run : report["runs"]) {
    ++number;
    const bool whole = run.is_object() && run.contains("call") &&
                       run["call"].is_number_unsigned() && run.contains("fault") &&
                       run["fault"].is_string() && run.contains("verdict") &&
                       run["verdict"].is_string();
    if (!whole) {
      error = "run " + std::to_string(number) + " lacks its call, fault or verdict";
      return false;
    }
    const auto call = run["call"].get<std::size_t>();
    expected[{KeyOf(keys, call), run["fault"].get<std::string>()}] = {
        run["verdict"].get<std::string>(), CellName(earlier, call)};
  }
  return true;
}

void CompareWithExpected(SweepReport& report, const ExpectedVerdicts& expected) {
  std::vector<std::string> changes;
  const std::vector<std::string> keys = CellKeys(report.baseline.requests);
  std::map<std::pair<std::string, std::string>, bool> made;
  for (SweepRun& run : report.runs) {
    const std::string key = KeyOf(keys, run.call);
    made[{key, run.fault}] = true;
    const auto found = expected.find({key, run.fault});
    const std::string was = found == expected.end() ? "none" : found->second.verdict;
    run.expected.reset();
    if (was == VerdictName(run.verdict)) continue;
    run.expected = was;
    changes.push_back(CellName(report, run.call) + ", " + run.fault + ": " +
                      VerdictName(run.verdict) + ", expected " + was);
  }
  for (const auto& [cell, was] : expected) {
    if (made.count(cell) != 0) continue;
    changes.push_back(was.name + ", " + cell.second + ": not swept, expected " + was.verdict);
  }
  report.changes = changes;
}

int SweepExitCode(const SweepReport& report) {
  if (report.changes) return report.changes->empty() ? 0 : 1;
  for (const SweepRun& run : report.runs) {
    if (VerdictFails(run.verdict, report.allowRepeats)) return 1;
  }
  return 0;
}

}  // namespace velmora::devservice
