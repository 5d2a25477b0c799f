// The sweep's decisions without a pipe or a process: the rules each run gets (carried out by
// the planner), the verdicts, the lists it takes and the report it writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "frames/service_protocol.h"
#include "rules/planner.h"
#include "rules/rules.h"
#include "sweep/junit.h"
#include "sweep/page.h"
#include "sweep/plan.h"

namespace velmora::devservice {
namespace {

Request Start(int job) {
  Request request;
  request.wellFormed = true;
  request.jobId = job;
  request.command = 1279;
  return request;
}

// What the planner does with the i-th of five requests under a run's rules: "" for the job
// table, the action otherwise, and the pipe's state just before that request is read.
struct Meeting {
  std::string action;
  tools::PipeState pipe;
  std::size_t step;  // the rule's, from 1, as the journal names it
};

std::vector<Meeting> Meetings(const std::string& rulesText) {
  RuleSet rules;
  std::string error;
  EXPECT_TRUE(ReadRules(rulesText, rules, error)) << error << "\n" << rulesText;
  Planner planner(std::move(rules), 1, 1000);
  std::vector<Meeting> meetings;
  for (int i = 0; i < 5; ++i) {
    std::uint64_t next = 0;
    const tools::PipeState pipe = planner.StateAt(1000 + i, next);
    const auto connection = planner.ForConnection(1000 + i);
    const auto plan = connection ? connection : planner.ForRequest(Start(i + 1), 1000 + i);
    // A plain reply with no status of its own is the job table's answer, as without rules.
    const bool asWithoutRules =
        !plan || (plan->what.action == Action::kReply && !plan->what.status);
    meetings.push_back(
        {asWithoutRules ? "" : ActionName(plan->what.action), pipe, plan ? plan->step + 1 : 0});
  }
  return meetings;
}

TEST(DevServiceSweep, EachRunFaultsExactlyItsCallOnce) {
  using tools::PipeState;
  const PipeState kServing = PipeState::kServing;
  const std::vector<PipeState> kAllServing(5, kServing);
  const struct {
    std::size_t call;
    const char* fault;
    std::vector<std::string> actions;  // by request, as the planner takes each
    std::vector<PipeState> pipe;       // the pipe's state as each call comes
    bool persist = false;
  } rows[] = {
      {1, "hang", {"hang", "", "", "", ""}, kAllServing},
      {3, "partial:100", {"", "", "partial", "", ""}, kAllServing},
      {2, "reply:87", {"", "reply", "", "", ""}, kAllServing},
      {4, "empty:forever", {"", "", "", "empty", ""}, kAllServing},
      {3,
       "busy",
       {"", "", "", "", ""},
       {kServing, kServing, PipeState::kBusy, PipeState::kBusy, PipeState::kBusy}},
      {1,
       "absent",
       {"", "", "", "", ""},
       {PipeState::kAbsent, PipeState::kAbsent, PipeState::kAbsent, PipeState::kAbsent,
        PipeState::kAbsent}},
      {2, "hang-up-before-read", {"", "hang-up-before-read", "", "", ""}, kAllServing},
      // Persisting, the fault takes the call and every request or connection after it.
      {2, "reply:87", {"", "reply", "reply", "reply", "reply"}, kAllServing, true},
      {3, "hang", {"", "", "hang", "hang", "hang"}, kAllServing, true},
      {2,
       "hang-up-before-read",
       {"", "hang-up-before-read", "hang-up-before-read", "hang-up-before-read",
        "hang-up-before-read"},
       kAllServing,
       true},
  };
  for (const auto& row : rows) {
    const std::string rules = RulesForRun(row.call, row.fault, 42, row.persist);
    const std::vector<Meeting> meetings = Meetings(rules);
    for (std::size_t i = 0; i < meetings.size(); ++i) {
      EXPECT_EQ(meetings[i].action, row.actions[i])
          << row.fault << " at call " << row.call << ", request " << i + 1 << "\n"
          << rules;
      EXPECT_EQ(meetings[i].pipe, row.pipe[i])
          << row.fault << " at call " << row.call << ", request " << i + 1 << "\n"
          << rules;
    }
    EXPECT_EQ(nlohmann::json::parse(rules)["seed"], 42) << rules;
    // The sweep tells a fault that met its call by the step the journal names.
    const std::size_t faulted = row.call - 1;
    EXPECT_EQ(row.actions[faulted].empty() ? 0 : meetings[faulted].step,
              FaultStep(row.call, row.fault))
        << row.fault << " at call " << row.call;
  }
}

TEST(DevServiceSweep, AnOutageEndsOnceTheCallHasGivenUp) {
  const struct {
    const char* fault;
    std::uint64_t lastsMs;  // from the read of the call before: the library's wait, and a second
    bool persist;           // then it never ends
  } rows[] = {
      {"busy", 6000, false}, {"absent", 3000, false}, {"busy", 0, true}, {"absent", 0, true}};
  for (const auto& row : rows) {
    RuleSet rules;
    std::string error;
    ASSERT_TRUE(ReadRules(RulesForRun(2, row.fault, 1, row.persist), rules, error)) << error;
    Planner planner(std::move(rules), 1, 0);
    planner.ForRequest(Start(1), 500);
    std::uint64_t next = 0;
    EXPECT_NE(planner.StateAt(500, next), tools::PipeState::kServing) << row.fault;
    if (row.persist) {
      EXPECT_EQ(next, kNoChange) << row.fault;
      EXPECT_NE(planner.StateAt(500 + 3600000, next), tools::PipeState::kServing) << row.fault;
      continue;
    }
    EXPECT_EQ(next, 500 + row.lastsMs) << row.fault;
    EXPECT_EQ(planner.StateAt(500 + row.lastsMs, next), tools::PipeState::kServing) << row.fault;
  }
}

// The sweep opens an exact window itself and replays it from a timed one: the window in force
// holds until replaced, and the replay's file reads back, its note included.
TEST(DevServiceSweep, AnExactWindowHoldsUntilReplacedAndItsReplayIsTimed) {
  const struct {
    const char* fault;
    bool persist;
    bool commented;
  } rows[] = {{"busy", false, true}, {"absent", true, true}, {"reply:87", false, false}};
  for (const auto& row : rows) {
    const std::string repro = ReproRules(3, row.fault, 9, row.persist, true);
    RuleSet rules;
    std::string error;
    EXPECT_TRUE(ReadRules(repro, rules, error)) << error << repro;
    const auto file = nlohmann::json::parse(repro);
    EXPECT_EQ(file.contains("comment"), row.commented) << repro;
    EXPECT_EQ(file["rules"],
              nlohmann::json::parse(RulesForRun(3, row.fault, 9, row.persist))["rules"]);
    if (!row.commented) continue;
    EXPECT_NE(file["comment"].get<std::string>().find("timed, not exact"), std::string::npos);
    ASSERT_TRUE(ReadRules(PipeWindowRules(3, row.fault, 9), rules, error)) << error;
    Planner planner(std::move(rules), 9, 0);
    std::uint64_t next = 0;
    EXPECT_NE(planner.StateAt(0, next), tools::PipeState::kServing) << row.fault;
    EXPECT_NE(planner.StateAt(3600000, next), tools::PipeState::kServing) << row.fault;
  }
  RuleSet rules;
  std::string error;
  EXPECT_FALSE(ReadRules(R"({"comment": 1, "rules": []})", rules, error));
  EXPECT_NE(error.find("\"comment\" must be a text"), std::string::npos) << error;
}

SweepCall Call(const char* name, int job, const char* text = nullptr) {
  SweepCall call{name, job, std::nullopt, std::nullopt};
  if (text) call.text = text;
  return call;
}

RunRecord Ran(std::optional<std::uint32_t> exit, std::vector<SweepCall> requests) {
  RunRecord record;
  record.exitCode = exit;
  record.requests = std::move(requests);
  return record;
}

RunRecord NotMet(RunRecord run) {
  run.faultMet = false;
  return run;
}

TEST(DevServiceSweep, VerdictsCompareTheRunWithTheBaseline) {
  const SweepCall a = Call("StartJob", 5), b = Call("CancelJob", 5);
  const RunRecord baseline = Ran(0, {a, b, a});
  RunRecord crashed = Ran(std::nullopt, {a});
  crashed.exception = "0xC0000005 in host.exe";
  RunRecord hung = Ran(std::nullopt, {a});
  hung.timedOut = true;
  // Still going at the time limit, having sent the faulted call (2, CancelJob) again n times.
  const auto timedOutAfter = [&](std::size_t repeats) {
    RunRecord run = Ran(std::nullopt, {a, b});
    run.requests.insert(run.requests.end(), repeats, b);
    run.timedOut = true;
    return run;
  };
  RunRecord hungUpOn = Ran(std::nullopt, {a});
  hungUpOn.timedOut = true;
  hungUpOn.hits = 11;  // connections hung up on before any request was read
  const struct {
    const char* name;
    RunRecord run;
    std::size_t call;
    const char* fault;
    SweepVerdict verdict;
  } rows[] = {
      {"an exception, whatever else", crashed, 1, "hang", SweepVerdict::kCrashed},
      // RaiseFailFastException ends the process with 0xC0000602 and no debug event.
      {"a fail-fast's exit code", Ran(0xC0000602u, {a}), 1, "reply:87", SweepVerdict::kCrashed},
      {"an exit code of the host's own", Ran(0x80000001u, {a}), 1, "reply:87",
       SweepVerdict::kReported},
      {"the time limit", hung, 1, "hang", SweepVerdict::kHung},
      {"another exit code", Ran(3, {a, b, a}), 2, "reply:87", SweepVerdict::kReported},
      {"the faulted request again", Ran(0, {a, b, b, a}), 2, "reply:87", SweepVerdict::kRetried},
      // A step that leaves the status to the job table carried the request out: a second one
      // may do it twice. One that answers with its own status, or hangs up, carried out none.
      {"again after a partial reply", Ran(0, {a, b, b, a}), 2, "partial:100",
       SweepVerdict::kRepeated},
      {"again after empty messages", Ran(0, {a, b, b, a}), 2, "empty:forever",
       SweepVerdict::kRepeated},
      {"again after a hang-up", Ran(0, {a, b, b, a}), 2, "hang-up-after-read",
       SweepVerdict::kRetried},
      {"a partial reply given up", Ran(0, {a, b, a}), 2, "partial:100", SweepVerdict::kAbsorbed},
      {"ten times again at the time limit", timedOutAfter(10), 2, "reply:87",
       SweepVerdict::kLooped},
      {"nine times again at the time limit", timedOutAfter(9), 2, "reply:87", SweepVerdict::kHung},
      {"ten connections more hung up on", hungUpOn, 1, "hang-up-before-read",
       SweepVerdict::kLooped},
      {"no repeat", Ran(0, {a, b, a}), 2, "reply:87", SweepVerdict::kAbsorbed},
      // StartJob(5) comes again at call 3 in the baseline too: that is no retry.
      {"a later call of the same request", Ran(0, {a, b, a}), 1, "reply:87",
       SweepVerdict::kAbsorbed},
      {"the same request once more than later calls", Ran(0, {a, a, b, a}), 1, "hang",
       SweepVerdict::kRetried},
      // A pipe fault kept the call from being read: its one later read is the retry.
      {"a busy call sent again", Ran(0, {a, b, a}), 2, "busy", SweepVerdict::kRetried},
      {"a busy call given up", Ran(0, {a, a}), 2, "busy", SweepVerdict::kAbsorbed},
      {"a hang-up before the read, not resent", Ran(0, {b, a}), 1, "hang-up-before-read",
       SweepVerdict::kAbsorbed},
      // A host that made fewer calls this time: its exit code says nothing of the fault.
      {"a fault no call met", NotMet(Ran(2, {a})), 2, "reply:87", SweepVerdict::kNotMet},
      {"a fault no call met, sent again", NotMet(Ran(0, {a, b, b})), 3, "busy",
       SweepVerdict::kNotMet},
      {"a crash whatever was met", NotMet(crashed), 1, "hang", SweepVerdict::kCrashed},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(Judge(baseline, row.run, row.call, row.fault), row.verdict) << row.name;
  }
}

CallSite At(const char* module, std::uint64_t offset, std::optional<std::uint32_t> line = {}) {
  CallSite site;
  site.module = module;
  site.offset = offset;
  if (line) {
    site.file = "C:\\src\\host.c";
    site.line = line;
  }
  return site;
}

TEST(DevServiceSweep, EachRequestTakesTheSiteOfTheCallThatSentIt) {
  const SweepCall start = Call("StartJob", 5), cancel = Call("CancelJob", 5);
  const SweepCall byName = Call("DeleteJobFileByName", -1, "x");
  const struct {
    const char* name;
    std::vector<CallHit> hits;  // as the calls entered the library
    std::vector<SweepCall> requests;
    std::vector<std::optional<std::uint64_t>> offsets;  // each request's site, by offset
  } rows[] = {
      {"one each",
       {{"StartJob", 1, At("h.exe", 16)}, {"CancelJob", 1, At("h.exe", 32)}},
       {start, cancel},
       {16, 32}},
      // The scheduler's no-ops send nothing: their calls take no request.
      {"a call that sent nothing",
       {{"StartScheduler", 1, At("h.exe", 8)}, {"StartJob", 1, At("h.exe", 16)}},
       {start},
       {16}},
      // A second thread's call entered first, but its request was read second.
      {"two threads",
       {{"CancelJob", 2, At("h.exe", 48)}, {"StartJob", 1, At("h.exe", 16)}},
       {start, cancel},
       {16, 48}},
      // DeleteJobFile and DeleteJobFileByName send one command: either call takes it.
      {"a shared code", {{"DeleteJobFileByName", 1, At("h.exe", 64)}}, {byName}, {64}},
      {"more requests than calls seen",
       {{"StartJob", 1, At("h.exe", 16)}},
       {start, start},
       {16, std::nullopt}},
  };
  for (const auto& row : rows) {
    std::vector<SweepCall> requests = row.requests;
    AttributeSites(requests, row.hits);
    for (std::size_t i = 0; i < requests.size(); ++i) {
      EXPECT_EQ(
          requests[i].site ? std::optional<std::uint64_t>(requests[i].site->offset) : std::nullopt,
          row.offsets[i])
          << row.name << ", request " << i + 1;
    }
  }
}

TEST(DevServiceSweep, CallsFromOneLineOrAddressAreOneSiteFaultedAtItsFirstCall) {
  const auto from = [](const char* name, std::optional<CallSite> site) {
    SweepCall call = Call(name, 5);
    call.site = std::move(site);
    return call;
  };
  SweepReport report;
  report.baseline.requests = {
      from("StartJob", At("host.exe", 0x10, 42)),   // 1: a loop, unrolled: three addresses,
      from("StartJob", At("host.exe", 0x20, 42)),   // 2  one line
      from("StartJob", At("host.exe", 0x30, 42)),   // 3
      from("CancelJob", At("host.exe", 0x40, 42)),  // 4: the same line, another export
      from("StartJob", At("host.exe", 0x50)),       // 5: no line information
      from("StartJob", At("host.exe", 0x50)),       // 6: the same address
      from("StartJob", At("other.dll", 0x50)),      // 7: the same offset in another module
      from("StartJob", std::nullopt),               // 8, 9: no site at all
      from("StartJob", std::nullopt),
      from("StartJob", At("host.exe", 0x20, 42)),  // 10: the loop's line again
  };
  EXPECT_EQ(FirstCallPerSite(report.baseline.requests),
            (std::vector<std::size_t>{1, 4, 5, 7, 8, 9}));
  const struct {
    std::size_t call;
    const char* row;
  } labels[] = {{1, "host.c:42 StartJob(5), calls 1-3,10"},
                {4, "host.c:42 CancelJob(5), call 4"},
                {5, "host.exe+0x50 StartJob(5), calls 5-6"},
                {7, "other.dll+0x50 StartJob(5), call 7"},
                {8, "8 StartJob(5)"}};
  for (const auto& label : labels) {
    EXPECT_EQ(RowLabel(report, label.call), label.row);
  }
  EXPECT_EQ(CellName(report, 8), "call 8 StartJob(5)");
  report.runs = {{1, "hang", Ran(0, {}), SweepVerdict::kAbsorbed, {}}};
  const auto json = nlohmann::json::parse(ReportJson(report));
  EXPECT_EQ(json["runs"][0]["site"], json["baseline"]["calls"][0]["site"]);
  EXPECT_EQ(json["baseline"]["calls"][0]["site"]["line"], 42);
  EXPECT_TRUE(json["baseline"]["calls"][4]["site"]["file"].is_null());
  EXPECT_TRUE(json["baseline"]["calls"][7]["site"].is_null());
}

// 5000 calls at 11 faults each would run for days: refused unless the user chose so.
TEST(DevServiceSweep, TooManyRunsAreRefusedUnlessChosen) {
  const struct {
    std::size_t runs;
    bool callsChosen;
    std::optional<std::size_t> maxRuns;
    bool refused;
  } rows[] = {
      {2000, false, std::nullopt, false}, {2001, false, std::nullopt, true},
      {55000, true, std::nullopt, false}, {55000, false, 60000, false},
      {55000, true, 100, true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(!TooManyRuns(row.runs, row.callsChosen, row.maxRuns).empty(), row.refused)
        << row.runs;
  }
  EXPECT_EQ(TooManyRuns(55000, false, std::nullopt),
            "55000 runs to make, more than 2000: choose the calls with --calls, or allow more "
            "with --max-runs");
}

// Runs side by side must never put a pipe fault beside another run (it would meet the other
// host's calls), nor start more than asked, nor lose or repeat a run, whatever order runs end in.
TEST(DevServiceSweep, TheScheduleRunsPipeFaultsAloneAndAtMostNAtOnce) {
  const struct {
    const char* runs;  // 'a' a run alone, '.' one that shares the pipe
    std::size_t parallel;
    bool newestEndsFirst;
    std::size_t mostAtOnce;
  } rows[] = {
      {"..........", 4, false, 4}, {"..........", 4, true, 4}, {"a.a.a.a...", 3, false, 3},
      {"a.a.a.a...", 3, true, 3},  {"aaaa", 8, false, 1},      {"...a", 1, true, 1},
      {"..", 0, false, 1},
  };
  for (const auto& row : rows) {
    const std::string runs = row.runs;
    std::vector<bool> alone;
    for (const char run : runs) alone.push_back(run == 'a');
    RunSchedule schedule(alone, row.parallel);
    std::vector<std::size_t> inFlight, started;
    std::size_t mostAtOnce = 0;
    for (;;) {
      while (const std::optional<std::size_t> next = schedule.Next()) {
        inFlight.push_back(*next);
        started.push_back(*next);
      }
      ASSERT_EQ(schedule.InFlight(), inFlight.size());
      mostAtOnce = std::max(mostAtOnce, inFlight.size());
      for (const std::size_t run : inFlight) {
        EXPECT_TRUE(!alone[run] || inFlight.size() == 1) << runs << ": run " << run;
      }
      if (inFlight.empty()) break;
      const auto ending = row.newestEndsFirst ? inFlight.end() - 1 : inFlight.begin();
      schedule.Ended(*ending);
      inFlight.erase(ending);
    }
    EXPECT_EQ(mostAtOnce, row.mostAtOnce) << runs;
    std::vector<std::size_t> expected;  // the shared runs first, each in plan order
    for (const bool wanted : {false, true}) {
      for (std::size_t run = 0; run < alone.size(); ++run) {
        if (alone[run] == wanted) expected.push_back(run);
      }
    }
    EXPECT_EQ(started, expected) << runs;
  }
  // Stopped: those in flight end, nothing more starts.
  RunSchedule schedule(std::vector<bool>(5, false), 2);
  ASSERT_EQ(schedule.Next(), 0u);
  ASSERT_EQ(schedule.Next(), 1u);
  schedule.Stop();
  schedule.Ended(0);
  EXPECT_EQ(schedule.Next(), std::nullopt);
  EXPECT_EQ(DefaultParallel(1), 2u);
  EXPECT_EQ(DefaultParallel(8), 8u);
}

TEST(DevServiceSweep, CallAndFaultListsAreReadOrRefused) {
  const struct {
    const char* text;
    std::vector<std::size_t> calls;  // empty: refused
    const char* error;
  } rows[] = {
      {"1-3,5", {1, 2, 3, 5}, ""},
      {"5,1,2-2,1", {1, 2, 5}, ""},
      {"6", {}, "the host made 5 call(s), not 6"},
      {"3-2", {}, "\"3-2\" is not a call or a range"},
      {"0", {}, "\"0\" is not a call"},
      {"1,,2", {}, "\"\" is not a call"},
      {"a", {}, "\"a\" is not a call"},
  };
  for (const auto& row : rows) {
    std::vector<std::size_t> calls;
    std::string error;
    EXPECT_EQ(ParseCallList(row.text, 5, calls, error), !row.calls.empty()) << row.text;
    if (row.calls.empty()) {
      EXPECT_NE(error.find(row.error), std::string::npos) << row.text << ": " << error;
    } else {
      EXPECT_EQ(calls, row.calls) << row.text;
    }
  }
  std::vector<std::string> faults;
  std::string error;
  EXPECT_TRUE(ParseFaultList("hang,reply:87,hang", faults, error)) << error;
  EXPECT_EQ(faults, (std::vector<std::string>{"hang", "reply:87"}));
  EXPECT_FALSE(ParseFaultList("hang,explode", faults, error));
  EXPECT_NE(error.find("explode"), std::string::npos) << error;
  EXPECT_FALSE(ParseFaultList("partial:many", faults, error));
  for (const std::string& fault : DefaultFaults()) {
    EXPECT_TRUE(ParseFaultList(fault, faults, error)) << fault << ": " << error;
  }
}

TEST(DevServiceSweep, TheReportSaysEachRunOnceAndTheTableEachCell) {
  SweepReport report;
  report.host = {"host.exe", "--twice"};
  report.seed = 7;
  report.baseline = Ran(0, {Call("StartJob", 5), Call("DeleteJobFileByName", -1, "C:\\x.txt")});
  report.baseline.ms = 120;
  const auto& made = report.baseline.requests;  // each run as far as its fault, as the baseline
  RunRecord crashed = Ran(std::nullopt, made);
  crashed.exception = "0xC0000005 in host.exe";
  report.runs = {{1, "hang", Ran(0, made), SweepVerdict::kAbsorbed, {}},
                 {1, "reply:87", Ran(2, made), SweepVerdict::kReported, {}},
                 {2, "hang", crashed, SweepVerdict::kCrashed, {}},
                 {2, "reply:87", Ran(0xC0000602u, made), SweepVerdict::kCrashed, {}}};
  EXPECT_EQ(ReportTable(report),
            "call                                   hang                reply:87\n"
            "1 StartJob(5)                          absorbed            reported 2\n"
            "2 DeleteJobFileByName(-1, \"C:\\x.txt\")  crashed 0xC0000005  crashed 0xC0000602\n");
  report.runs.pop_back();
  const auto json = nlohmann::json::parse(ReportJson(report));
  EXPECT_EQ(json["host"], nlohmann::json::parse(R"(["host.exe", "--twice"])"));
  EXPECT_EQ(json["baseline"]["calls"][1]["text"], "C:\\x.txt");
  EXPECT_TRUE(json["baseline"]["calls"][0]["text"].is_null());
  EXPECT_EQ(json["runs"].size(), 3u);
  EXPECT_EQ(json["runs"][2]["id"], "003");
  EXPECT_TRUE(json["runs"][2]["exit"].is_null());
  EXPECT_EQ(json["runs"][2]["exception"], "0xC0000005 in host.exe");
  EXPECT_EQ(json["runs"][2]["repro"], "repro/003.json");
  EXPECT_EQ(SweepExitCode(report), 1);
  report.runs.pop_back();
  EXPECT_EQ(SweepExitCode(report), 0);
  const auto page = nlohmann::json::parse(PageData(report));
  EXPECT_EQ(page["rows"].size(), 1u);
  EXPECT_EQ(page["rows"][0]["cells"][1]["verdict"], "reported");
  for (const auto& count : page["counts"]) {
    const bool one = count["verdict"] == "reported" || count["verdict"] == "absorbed";
    EXPECT_EQ(count["count"], one ? 1 : 0) << count["verdict"];
  }
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// A run that made other calls than the baseline before its fault is flagged, for the host is
// then not deterministic; what the host did after the fault is its own affair.
TEST(DevServiceSweep, ARunThatMadeOtherCallsBeforeItsFaultIsFlagged) {
  const SweepCall a = Call("StartJob", 5), b = Call("CancelJob", 5), c = Call("DeleteJob", 4);
  const RunRecord baseline = Ran(0, {a, b, a});
  const struct {
    std::vector<SweepCall> made;
    std::size_t call;
    const char* fault;
    bool diverged;
  } rows[] = {
      {{a, b, b, b}, 2, "reply:87", false},  // a retry after the fault
      {{a, c}, 2, "reply:87", true},         // the faulted request was another
      {{c, b, a}, 2, "reply:87", true},      // another before it
      {{a}, 2, "reply:87", true},            // the call never came
      {{a, a}, 2, "busy", false},            // the pipe kept the call unread: retried later
      {{}, 2, "absent", true},
      {{a, c, c}, 3, "hang", true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(Diverged(baseline, Ran(0, row.made), row.call, row.fault), row.diverged)
        << row.fault << " at " << row.call << ", " << row.made.size() << " call(s)";
  }
  SweepReport report;
  report.baseline = baseline;
  report.runs = {{2, "reply:87", Ran(0, {a, c}), SweepVerdict::kAbsorbed, {}}};
  EXPECT_NE(ReportTable(report).find("absorbed *\n* the run made other calls"), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(ReportJson(report))["runs"][0]["diverged"], true);
  EXPECT_EQ(nlohmann::json::parse(PageData(report))["nondeterministic"], true);
}

// With --expect, the exit status says whether the matrix changed, and every mark names the
// verdict that was expected; a cell the earlier sweep had and this one lacks is a change too.
TEST(DevServiceSweep, AnExpectedMatrixFailsOnlyWhereACellChanged) {
  SweepReport report;
  report.host = {"host.exe"};
  report.baseline = Ran(0, {Call("StartJob", 5), Call("CancelJob", 5)});
  RunRecord crashed = Ran(std::nullopt, report.baseline.requests);
  crashed.exception = "0xC0000005 in host.exe";
  report.runs = {{1, "hang", crashed, SweepVerdict::kCrashed, {}},
                 {2, "hang", Ran(2, report.baseline.requests), SweepVerdict::kReported, {}}};
  ExpectedVerdicts expected;
  std::string error;
  ASSERT_TRUE(ReadExpectedVerdicts(ReportJson(report), expected, error)) << error;
  CompareWithExpected(report, expected);
  EXPECT_EQ(report.changes, std::vector<std::string>{});
  EXPECT_EQ(SweepExitCode(report), 0);  // the crash was expected
  expected[{"call 2", "hang"}].verdict = "absorbed";
  expected[{"call 3", "busy"}] = {"hung", "call 3 ?"};
  CompareWithExpected(report, expected);
  EXPECT_EQ(report.changes,
            (std::vector<std::string>{"call 2 CancelJob(5), hang: reported, expected absorbed",
                                      "call 3 ?, busy: not swept, expected hung"}));
  EXPECT_EQ(SweepExitCode(report), 1);
  EXPECT_NE(ReportTable(report).find("reported 2 (expected absorbed)"), std::string::npos);
  const auto json = nlohmann::json::parse(ReportJson(report));
  EXPECT_TRUE(json["runs"][0]["expected"].is_null());
  EXPECT_EQ(json["runs"][1]["expected"], "absorbed");
  EXPECT_EQ(json["changes"].size(), 2u);
  EXPECT_EQ(nlohmann::json::parse(PageData(report))["rows"][1]["cells"][0]["changed"], true);
  const struct {
    const char* text;
    const char* reason;
  } refused[] = {
      {"[1, 2", "not JSON"},
      {R"({"host": []})", "no \"runs\""},
      {R"({"runs": [{"call": 1, "fault": "hang"}]})", "run 1 lacks its call, fault or verdict"},
  };
  for (const auto& row : refused) {
    EXPECT_FALSE(ReadExpectedVerdicts(row.text, expected, error)) << row.text;
    EXPECT_NE(error.find(row.reason), std::string::npos) << error;
  }
}

// The expected matrix is held to by site: a host rebuilt with a call added before its others
// keeps its cells, and two calls at one site (--every-call) stay two cells.
TEST(DevServiceSweep, AnExpectedMatrixFollowsItsCellsBySite) {
  const auto at = [](const char* name, std::uint32_t line, std::uint64_t offset) {
    SweepCall call = Call(name, 5);
    call.site = At("host.exe", offset, line);
    return call;
  };
  SweepReport earlier;
  earlier.baseline = Ran(0, {at("StartJob", 10, 0x10), at("StartJob", 10, 0x10)});
  earlier.runs = {{1, "hang", Ran(0, {}), SweepVerdict::kAbsorbed, {}},
                  {2, "hang", Ran(2, {}), SweepVerdict::kReported, {}}};
  ExpectedVerdicts expected;
  std::string error;
  ASSERT_TRUE(ReadExpectedVerdicts(ReportJson(earlier), expected, error)) << error;
  SweepReport now;  // a call added first, from line 5; the others moved in the module
  now.baseline =
      Ran(0, {at("CancelJob", 5, 0x8), at("StartJob", 10, 0x18), at("StartJob", 10, 0x18)});
  now.runs = {{2, "hang", Ran(0, {}), SweepVerdict::kAbsorbed, {}},
              {3, "hang", Ran(0, {}), SweepVerdict::kAbsorbed, {}}};
  CompareWithExpected(now, expected);
  EXPECT_EQ(now.changes,
            (std::vector<std::string>{
                "host.c:10 StartJob(5), calls 2-3, hang: absorbed, expected reported"}));
  EXPECT_EQ(now.runs[1].expected, "reported");
}

// CI fails the build on a crashed or hung run alone, and a text of any bytes leaves the file
// well-formed: markup escaped, what XML cannot hold replaced.
TEST(DevServiceSweep, TheJUnitFileFailsCrashedAndHungRunsAndHoldsAnyText) {
  SweepReport report;
  report.host = {"C:\\hosts\\Night<ly>.EXE"};
  report.baseline = Ran(0, {Call("DeleteJobFileByName", -1, "a&b\x01\xe9\xc3\xa9\"")});
  RunRecord crashed = Ran(std::nullopt, {});
  crashed.exception = "0xC0000005 in Night<ly>.exe";
  crashed.ms = 1500;
  RunRecord hung = Ran(std::nullopt, {});
  hung.timedOut = true;
  report.runs = {{1, "hang", crashed, SweepVerdict::kCrashed, {}},
                 {1, "busy", hung, SweepVerdict::kHung, {}},
                 {1, "reply:87", Ran(2, {}), SweepVerdict::kReported, {}},
                 {1, "garbled", Ran(0, {}), SweepVerdict::kAbsorbed, {}}};
  RunRecord looped = Ran(std::nullopt, std::vector<SweepCall>(11, report.baseline.requests[0]));
  looped.timedOut = true;
  report.runs.push_back({1, "hang", looped, SweepVerdict::kLooped, {}});
  report.runs.push_back({1, "partial:100", Ran(0, looped.requests), SweepVerdict::kRepeated, {}});
  std::string xml = ReportJUnit(report);
  const struct {
    const char* part;
    std::size_t times;
  } rows[] = {
      {"<testsuite name=\"velmora-devservice sweep\" tests=\"6\" failures=\"4\"", 1},
      {"classname=\"Night&lt;ly&gt;\"", 6},
      {"<testcase name=\"call 1 DeleteJobFileByName(-1, &quot;a&amp;b\xEF\xBF\xBD\xEF\xBF\xBD"
       "\xc3\xa9&quot;&quot;), hang\"",
       2},
      {"time=\"1.500\"", 3},  // the suites' and the crashed run's
      {"<failure type=\"crashed\" message=\"crashed: 0xC0000005 in "
       "Night&lt;ly&gt;.exe\">run 001: crashed",
       1},
      {"; its output: runs/001.out; to replay it: repro/001.json</failure>", 1},
      {"<failure type=\"hung\" message=\"hung: the time limit\">", 1},
      {"<failure", 4},
      {"<failure type=\"looped\" message=\"looped: the time limit, the faulted request sent 10 "
       "more time(s)\">",
       1},
      {"<failure type=\"repeated\" message=\"repeated: exit 0, the faulted request sent 10 more "
       "time(s) after the service carried it out\">",
       1},
      {"reply:87\" classname=\"Night&lt;ly&gt;\" time=\"0.000\"/>", 1},
      {"<system-out>absorbed: check", 1},
      {"\x01", 0},
  };
  for (const auto& row : rows) EXPECT_EQ(Occurrences(xml, row.part), row.times) << row.part;
  EXPECT_EQ(SweepExitCode(report), 1);
  // --allow-repeats: a repeated run passes; the looped one still fails.
  report.allowRepeats = true;
  xml = ReportJUnit(report);
  EXPECT_EQ(Occurrences(xml, "failures=\"3\""), 2u) << xml;
  EXPECT_EQ(Occurrences(xml, "<failure type=\"repeated\""), 0u) << xml;
  report.runs.erase(report.runs.begin(), report.runs.begin() + 2);
  report.runs.erase(report.runs.begin() + 2);
  EXPECT_EQ(SweepExitCode(report), 0);
}

TEST(DevServiceSweep, ThePageHasACellPerRunClassedByVerdictAndEscapesTheHost) {
  std::ifstream file(VELMORA_SWEEP_TEMPLATE);
  std::stringstream pageTemplate;
  pageTemplate << file.rdbuf();
  ASSERT_FALSE(pageTemplate.str().empty()) << VELMORA_SWEEP_TEMPLATE;
  SweepReport report;
  report.host = {"host.exe", "<script>alert(1)</script>"};
  report.baseline = Ran(0, {Call("StartJob", 5), Call("CancelJob", 5)});
  report.runs = {{1, "hang", Ran(0, {}), SweepVerdict::kAbsorbed, {}},
                 {1, "busy", Ran(1, {}), SweepVerdict::kReported, {}},
                 {2, "busy", Ran(0, {}), SweepVerdict::kRetried, {}}};
  std::string error;
  const std::string page = RenderPage(pageTemplate.str(), PageData(report), error);
  ASSERT_FALSE(page.empty()) << error;
  EXPECT_EQ(Occurrences(page, "<td class=\"cell "), 3u);
  EXPECT_EQ(Occurrences(page, "<td></td>"), 1u);  // call 2 met no hang
  EXPECT_EQ(Occurrences(page,
                        "<td class=\"cell reported\"><a href=\"runs/002.out\">reported</a>"
                        "<small>exit 1</small>"),
            1u);
  EXPECT_EQ(Occurrences(page, "<small>exit 0</small>"), 2u);  // the absorbed and the retried run
  EXPECT_EQ(Occurrences(page, "href=\"repro/003.json\""), 1u);
  EXPECT_EQ(page.find("<script>"), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;"), std::string::npos);
  EXPECT_TRUE(RenderPage("{{#rows}}", PageData(report), error).empty());
  EXPECT_NE(error.find("the page's template"), std::string::npos) << error;
}

}  // namespace
}  // namespace velmora::devservice

namespace velmora::devservice {
namespace {

// An --out that holds anything but an earlier sweep is never written into; an earlier sweep is
// replaced whole, stale runs and all, only with --force.
TEST(DevServiceSweep, TheReportFolderIsNewEmptyOrAnEarlierSweepReplaced) {
  using Kind = OutFolder::Kind;
  const std::vector<std::string> earlier = {"report.json", "report.html", "runs/001.out",
                                            "runs/zzz.out", "repro/001.json"};
  const struct {
    OutFolder found;
    bool force;
    const char* refused;  // the start of the reason, or "" when it may be written
    std::size_t stale;
  } rows[] = {
      {{Kind::kAbsent, {}}, false, "", 0},
      {{Kind::kFolder, {}}, false, "", 0},
      {{Kind::kFile, {}}, true, "--out s is a file", 0},
      {{Kind::kFolder, earlier}, false, "--out s holds an earlier sweep: give --force", 0},
      {{Kind::kFolder, earlier}, true, "", 5},
      {{Kind::kFolder, {"report.json", "notes.txt"}},
       true,
       "--out s is not empty (it holds notes",
       0},
      {{Kind::kFolder, {"runs/001.out"}}, true, "--out s is not empty", 0},  // no report: no sweep
      {{Kind::kFolder, {"runs/deep/001.out", "report.json"}}, true, "--out s is not empty", 0},
  };
  for (const auto& row : rows) {
    std::vector<std::string> stale = {"left over"};
    const std::string refused = OutFolderRefusal("s", row.found, row.force, stale);
    EXPECT_EQ(refused.rfind(row.refused, 0), 0u) << refused;
    EXPECT_EQ(refused.empty(), std::string(row.refused).empty()) << refused;
    EXPECT_EQ(stale.size(), row.stale) << refused;
  }
}

}  // namespace
}  // namespace velmora::devservice

namespace velmora::devservice {
namespace {

// The host's words as its C run-time reads them back, on its command line and on the page.
TEST(DevServiceSweep, TheHostsCommandLineIsQuotedAsItWasGiven) {
  const struct {
    std::vector<std::string> words;
    const char* line;
  } rows[] = {
      {{"host.exe", "plain", "C:\\a\\b"}, "host.exe plain C:\\a\\b"},
      {{"host.exe", "say \"hi\""}, "host.exe \"say \\\"hi\\\"\""},
      {{"host.exe", ""}, "host.exe \"\""},
      {{"host.exe", "a b\\"}, "host.exe \"a b\\\\\""},
      {{"host.exe", "x\\\"y"}, "host.exe \"x\\\\\\\"y\""},
  };
  for (const auto& row : rows) EXPECT_EQ(CommandLine(row.words), row.line);
}

}  // namespace
}  // namespace velmora::devservice
