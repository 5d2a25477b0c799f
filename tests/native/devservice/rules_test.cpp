// The development service's rules, planner, journal and verify, without a pipe: what a rules
// file may say, which rule takes each request and when, what the pipe is told to write, and
// that neither a full disk nor an unread console can hold a caller up.
#include "rules/rules.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/options.h"
#include "journal/verify.h"
#include "journal/writer.h"
#include "rules/planner.h"
#include "serve/service.h"

namespace velmora::devservice {
namespace {

RuleSet Read(const std::string& json) {
  RuleSet rules;
  std::string error;
  EXPECT_TRUE(ReadRules(json, rules, error)) << error;
  return rules;
}

Request Requesting(int job, int command, std::string param = "") {
  Request request;
  request.wellFormed = true;
  request.jobId = job;
  request.command = command;
  request.param = std::move(param);
  return request;
}
const Request kStart5 = Requesting(5, 1279);

TEST(DevServiceRules, MistakesAreRefusedWithTheirLineAndReason) {
  using namespace std::string_literals;  // "..."s keeps a NUL byte inside
  const std::string deep = "{\"rules\": [\n" + std::string(10000, '[') + std::string(10000, ']');
  const struct {
    std::string file;
    const char* error;
  } rows[] = {
      {"{\"rules\": [\n{\"do\": \"reply\",}\n]}", "parse error at line 2"},
      {"[]", "line 1: the file must hold one JSON object"},
      {"{\"rules\": [\n{\"do\": \"explode\"}]}", "line 2: unknown action \"explode\""},
      {"{\"rules\": [], \"sead\": 1}", "line 1: unknown key \"sead\""},
      {"{\"seed\": -1, \"rules\": []}", "\"seed\" must be a whole number from 0"},
      {"{\"rules\": [{}]}", "a rule needs \"do\""},
      {"{\"rules\": [\n{\"do\": \"reply\",\n \"bytes\": 5}]}",
       "line 3: \"bytes\" does not go with reply"},
      {"{\"rules\": [{\"do\": \"partial\", \"bytes\": 1024}]}",
       "\"bytes\" must be a whole number from 0 to 1023"},
      {"{\"rules\": [{\"do\": \"partial\"}]}", "partial needs \"bytes\""},
      {"{\"rules\": [{\"do\": \"empty\", \"count\": 0}]}",
       "\"count\" must be a whole number from 1"},
      {"{\"rules\": [{\"do\": \"raw\"}]}", "raw needs \"text\""},
      {"{\"rules\": [{\"do\": \"busy\", \"after_ms\": 1, \"after_requests\": 1}]}",
       "give \"after_ms\" or \"after_requests\", not both"},
      {"{\"rules\": [{\"do\": \"busy\", \"after_requests\": -1}]}",
       "\"after_requests\" must be a whole number"},
      {"{\"rules\": [{\"do\": \"reply\", \"status\": 2147483648}]}",
       "\"status\" must be a whole number"},
      {"{\"rules\": [{\"do\": \"reply\", \"delay_ms\": [5, 1]}]}", "min is above max"},
      {"{\"rules\": [{\"do\": \"reply\", \"probability\": 1.5}]}", "from 0 to 1"},
      {"{\"rules\": [{\"do\": \"reply\", \"then\": \"loop\"}]}", "\"then\" must be"},
      {"{\"rules\": [{\"do\": \"reply\", \"carry_out\": false}]}", "needs a \"status\""},
      {"{\"rules\": [{\"do\": \"hang\", \"carry_out\": true}]}", "does not go with hang"},
      {"{\"rules\": [{\"do\": \"reply\", \"carry_out\": 1}]}", "must be true or false"},
      {"{\"rules\": [{\"match\": {\"export\": \"StartScheduler\"}, \"do\": \"reply\"}]}",
       "StartScheduler sends no request"},
      {"{\"rules\": [{\"match\": {\"export\": \"StartJobs\"}, \"do\": \"reply\"}]}",
       "\"export\" must name an export"},
      {"{\"rules\": [{\"match\": {\"text\": \"re:([\"}, \"do\": \"reply\"}]}",
       "is not a regular expression"},
      {"{\"rules\": [{\"match\": {\"name\": \"x\"}, \"do\": \"reply\"}]}",
       "unknown key \"name\" in \"match\""},
      {"{\"rules\": [{\"match\": {\"job\": 5}, \"do\": \"busy\"}]}", "busy acts on the pipe"},
      {"{\"rules\": [{\"do\": \"absent\", \"probability\": 0.5}]}", "absent acts on the pipe"},
      {"{\"rules\": [{\"match\": {\"job\": 5}, \"do\": \"hang-up-before-read\"}]}",
       "acts before the request is read"},
      {"{\"rules\": [{\"steps\": [{\"do\": \"hang\"}, {\"do\": \"reply\"}]}]}",
       "every step but the last needs \"times\""},
      {"{\"rules\": [{\"do\": \"reply\", \"steps\": [{\"do\": \"hang\"}]}]}",
       "\"do\" belongs in each step"},
      {"{\"rules\": [{\"name\": \"a\", \"do\": \"hang\"},\n {\"name\": \"a\", \"do\": \"hang\"}]}",
       "line 2: two rules are named \"a\""},
      // What the parser would take badly, crash on or read the wrong way.
      {"{\"rules\": [\n{\"do\": \"reply\", \"status\": 1e400}]}", "line 2: 1e400 is too large"},
      {"{\"rules\": [{\"do\": \"reply\", \"status\": 1" + std::string(400, '0') + "}]}",
       "is too large a number"},
      {deep, "line 2: nested deeper than 32 levels"},
      {"{\"rules\": []}\0junk"s, "line 1: a NUL byte"},
      {"{\"rules\": []}\n\0{\"x\":1"s, "line 2: a NUL byte"},
      {"{\"rules\": [{\"do\": \"raw\", \"text\": \"a\0b\"}]}"s, "line 1: a NUL byte"},
      {"{\"rules\": [\n{\"do\": \"reply\", \"status\": 11,\n \"status\": 22}]}",
       "line 3: \"status\" is given twice"},
      {"{\"rules\": [], \"rul\\u0065s\": []}", "line 1: \"rules\" is given twice"},
      {"{\"rules\": [{\"match\": {\"text\": \"re:" + std::string(1100, 'a') +
           "\"}, \"do\": \"hang\"}]}",
       "longer than 1024 bytes"},
      {"{\"rules\": [{\"match\": {\"text\": \"re:" + std::string(33, '(') + "a" +
           std::string(33, ')') + "\"}, \"do\": \"hang\"}]}",
       "groups nest deeper than 32 levels"},
  };
  for (const auto& row : rows) {
    RuleSet rules;
    rules.seed = 99;
    std::string error;
    EXPECT_FALSE(ReadRules(row.file, rules, error)) << row.file.substr(0, 200);
    EXPECT_NE(error.find(row.error), std::string::npos)
        << row.file.substr(0, 200) << "\n  said: " << error;
    EXPECT_EQ(rules.seed, 99u) << "a refused file must leave the rules as they were";
  }
}

TEST(DevServiceRules, TheDocumentedExampleReads) {
  const RuleSet rules = Read(R"({
    "seed": 7,
    "rules": [
      {"name": "start 5 fails twice", "match": {"export": "StartJob", "job": 5},
       "steps": [{"times": 2, "do": "hang-up-after-read"},
                 {"do": "reply", "status": 0, "message": "started"}]},
      {"name": "slow cancels", "match": {"export": "CancelJob"}, "delay_ms": [500, 1500],
       "do": "reply", "status": 0},
      {"name": "flaky names", "match": {"text": "re:^C:\\\\temp\\\\"}, "probability": 0.3,
       "do": "garbled"},
      {"name": "busy at start", "for_ms": 10000, "do": "busy"}
    ]})");
  ASSERT_EQ(rules.rules.size(), 4u);
  EXPECT_EQ(rules.seed, 7u);
  EXPECT_EQ(rules.rules[0].steps.size(), 2u);
  EXPECT_EQ(rules.rules[1].steps[0].delayMax, 1500u);
  EXPECT_TRUE(rules.rules[2].match.text->Holds("C:\\temp\\"));
  EXPECT_FALSE(rules.rules[2].match.text->Holds("D:\\temp\\"));
}

// Which rule, step and action takes each request of a sequence, by the rules given.
TEST(DevServicePlanner, SequencesMatchesAndWindows) {
  struct Call {
    Request request;
    std::uint64_t atMs;
    const char* taken;  // "rule/step/action", or "" for the job table
  };
  const Request start6 = Requesting(6, 1279);
  const Request byName = Requesting(-1, 1286, "C:\\temp\\a.txt");
  const Request byJob = Requesting(3, 1286);
  const struct {
    const char* name;
    const char* rules;
    std::vector<Call> calls;
  } rows[] = {
      {"fail twice, then succeed",
       R"({"rules": [{"name": "s", "match": {"export": "StartJob", "job": 5},
           "steps": [{"times": 2, "do": "hang-up-after-read"}, {"do": "reply", "status": 0}]}]})",
       {{kStart5, 0, "s/1/hang-up-after-read"},
        {start6, 0, ""},
        {kStart5, 0, "s/1/hang-up-after-read"},
        {kStart5, 0, "s/2/reply"},
        {kStart5, 0, "s/2/reply"}}},
      {"cycle",
       R"({"rules": [{"name": "c", "then": "cycle", "steps": [{"times": 1, "do": "hang"},
           {"times": 2, "do": "reply"}]}]})",
       {{kStart5, 0, "c/1/hang"},
        {kStart5, 0, "c/2/reply"},
        {kStart5, 0, "c/2/reply"},
        {kStart5, 0, "c/1/hang"}}},
      {"pass",
       R"({"rules": [{"name": "p", "then": "pass", "steps": [{"times": 2, "do": "hang"}]},
                     {"name": "q", "do": "reply"}]})",
       {{kStart5, 0, "p/1/hang"}, {kStart5, 0, "p/1/hang"}, {kStart5, 0, "q/1/reply"}}},
      {"stay on the last step",
       R"({"rules": [{"name": "t", "steps": [{"times": 1, "do": "hang"}, {"times": 1, "do": "raw", "text": "x"}]}]})",
       {{kStart5, 0, "t/1/hang"}, {kStart5, 0, "t/2/raw"}, {kStart5, 0, "t/2/raw"}}},
      {"file order, first due match wins",
       R"({"rules": [{"name": "late", "after_ms": 1000, "do": "hang"},
                     {"name": "job 6", "match": {"job": 6}, "do": "reply"},
                     {"name": "all", "for_ms": 2000, "do": "raw", "text": "x"}]})",
       {{start6, 0, "job 6/1/reply"},
        {kStart5, 999, "all/1/raw"},
        {kStart5, 1000, "late/1/hang"},
        {start6, 5000, "late/1/hang"}}},
      {"a window ends",
       R"({"rules": [{"name": "w", "after_ms": 100, "for_ms": 200, "do": "hang"}]})",
       {{kStart5, 99, ""},
        {kStart5, 100, "w/1/hang"},
        {kStart5, 299, "w/1/hang"},
        {kStart5, 300, ""}}},
      {"a window that opens after two requests, for 50 ms from the second",
       R"({"rules": [{"name": "n", "after_requests": 2, "for_ms": 50, "do": "hang"}]})",
       {{kStart5, 0, ""}, {kStart5, 100, ""}, {kStart5, 149, "n/1/hang"}, {kStart5, 150, ""}}},
      {"the sweep's fault at the third request, once",
       R"({"rules": [{"name": "f", "steps": [{"times": 2, "do": "reply"},
           {"times": 1, "do": "reply", "status": 87}], "then": "pass"}]})",
       {{kStart5, 0, "f/1/reply"},
        {start6, 0, "f/1/reply"},
        {kStart5, 0, "f/2/reply"},
        {kStart5, 0, ""}}},
      {"exports that share a code match it",
       R"({"rules": [{"name": "f", "match": {"export": "DeleteJobFile"}, "do": "hang"}]})",
       {{byName, 0, "f/1/hang"}, {byJob, 0, "f/1/hang"}, {kStart5, 0, ""}}},
      {"texts: exact, contains, whole-text expression",
       R"({"rules": [{"name": "exact", "match": {"text": "C:\\temp"}, "do": "hang"},
                     {"name": "part", "match": {"text": "contains:a.t"}, "do": "hang"},
                     {"name": "re", "match": {"text": "re:C:.*txt"}, "do": "hang"},
                     {"name": "re-part", "match": {"text": "re:temp"}, "do": "hang"}]})",
       {{byName, 0, "part/1/hang"},
        {Requesting(-1, 1286, "C:\\temp"), 0, "exact/1/hang"},
        {Requesting(-1, 1286, "C:\\x.txt"), 0, "re/1/hang"},
        {Requesting(-1, 1286, "temp2"), 0, ""}}},
  };
  for (const auto& row : rows) {
    Planner planner(Read(row.rules), 1, 10000);
    for (std::size_t i = 0; i < row.calls.size(); ++i) {
      const Call& call = row.calls[i];
      const auto plan = planner.ForRequest(call.request, 10000 + call.atMs);
      const std::string taken = plan ? plan->ruleName + "/" + std::to_string(plan->step + 1) + "/" +
                                           ActionName(plan->what.action)
                                     : "";
      EXPECT_EQ(taken, call.taken) << row.name << ", call " << i + 1;
    }
  }
}

// The outcomes of `calls` requests under a rule that fires with `probability`.
std::string Outcomes(const char* probability, std::uint64_t seed, int calls = 200) {
  Planner planner(Read(std::string(R"({"rules": [{"probability": )") + probability +
                       R"(, "do": "garbled", "bytes": 4, "delay_ms": [0, 1000]}]})"),
                  seed, 0);
  std::string outcomes;  // "-" where the rule did not fire, else its bytes and delay
  for (int i = 0; i < calls; ++i) {
    const auto plan = planner.ForRequest(kStart5, 0);
    if (!plan) {
      outcomes += "-";
      continue;
    }
    for (const char byte : plan->garbled) outcomes += std::to_string(byte & 0xFF) + ".";
    outcomes += std::to_string(plan->what.delayMin) + "|";
  }
  return outcomes;
}

TEST(DevServicePlanner, ChanceIsSeededAndItsEndsHold) {
  const std::string first = Outcomes("0.3", 7);
  EXPECT_EQ(Outcomes("0.3", 7), first) << "the same seed must replay the same outcomes";
  EXPECT_NE(Outcomes("0.3", 8), first);
  const auto fired = static_cast<int>(200 - std::count(first.begin(), first.end(), '-'));
  EXPECT_GT(fired, 30);
  EXPECT_LT(fired, 90);
  EXPECT_EQ(Outcomes("0", 7), std::string(200, '-'));
  const std::string always = Outcomes("1", 7);
  EXPECT_EQ(std::count(always.begin(), always.end(), '-'), 0);
  // A reload restarts the generator from its seed.
  Planner planner(Read(R"({"rules": [{"do": "garbled", "bytes": 8}]})"), 5, 0);
  const std::string before = planner.ForRequest(kStart5, 0)->garbled;
  planner.Replace(Read(R"({"rules": [{"do": "garbled", "bytes": 8}]})"), 5, 0);
  EXPECT_EQ(planner.ForRequest(kStart5, 0)->garbled, before);
}

TEST(DevServicePlanner, HangUpsBeforeTheReadAreDecidedAtTheConnection) {
  const struct {
    const char* name;
    const char* rules;
    const char* taken;
  } rows[] = {
      {"a catch-all hang-up", R"({"rules": [{"name": "h", "do": "hang-up-before-read"}]})", "h"},
      {"a rule with a match waits for the request",
       R"({"rules": [{"match": {"job": 5}, "do": "reply"}, {"name": "h", "do": "hang-up-before-read"}]})",
       "h"},
      {"a catch-all rule before it answers the request instead",
       R"({"rules": [{"do": "reply"}, {"name": "h", "do": "hang-up-before-read"}]})", ""},
      {"its chance does not come up",
       R"({"rules": [{"probability": 0, "do": "hang-up-before-read"}]})", ""},
      {"not due yet", R"({"rules": [{"after_ms": 50, "do": "hang-up-before-read"}]})", ""},
  };
  for (const auto& row : rows) {
    Planner planner(Read(row.rules), 1, 0);
    const auto plan = planner.ForConnection(0);
    EXPECT_EQ(plan ? plan->ruleName : "", row.taken) << row.name;
  }
}

// A pipe outage counted in requests opens as the request before it is planned, so that it is
// in place before that request's answer reaches the caller.
TEST(DevServicePlanner, AnOutageAfterSoManyRequestsOpensWithTheLastOfThem) {
  const struct {
    const char* rules;
    tools::PipeState during;
  } rows[] = {
      {R"({"rules": [{"after_requests": 2, "for_ms": 1000, "do": "busy"}]})",
       tools::PipeState::kBusy},
      {R"({"rules": [{"after_requests": 2, "for_ms": 1000, "do": "absent"}]})",
       tools::PipeState::kAbsent},
  };
  for (const auto& row : rows) {
    Planner planner(Read(row.rules), 1, 100);
    std::uint64_t next = 0;
    EXPECT_EQ(planner.StateAt(5000, next), tools::PipeState::kServing) << row.rules;
    EXPECT_EQ(next, kNoChange) << "a count, not a time, opens it: " << row.rules;
    planner.ForRequest(kStart5, 6000);
    EXPECT_EQ(planner.StateAt(6000, next), tools::PipeState::kServing) << row.rules;
    planner.ForRequest(kStart5, 7000);
    EXPECT_EQ(planner.StateAt(7000, next), row.during) << row.rules;
    EXPECT_EQ(next, 8000u) << row.rules;
    EXPECT_EQ(planner.StateAt(8000, next), tools::PipeState::kServing) << row.rules;
    planner.Replace(Read(row.rules), 1, 9000);  // the count starts afresh
    planner.ForRequest(kStart5, 9100);
    EXPECT_EQ(planner.StateAt(9100, next), tools::PipeState::kServing) << row.rules;
  }
  // From the start when no request is to come first.
  Planner planner(Read(R"({"rules": [{"after_requests": 0, "for_ms": 10, "do": "busy"}]})"), 1,
                  100);
  std::uint64_t next = 0;
  EXPECT_EQ(planner.StateAt(105, next), tools::PipeState::kBusy);
  EXPECT_EQ(planner.StateAt(110, next), tools::PipeState::kServing);
}

TEST(DevServicePlanner, TheStateOfThePipeFollowsTheWindows) {
  Planner planner(Read(R"({"rules": [{"do": "reply"},
      {"after_ms": 1000, "for_ms": 500, "do": "absent"},
      {"for_ms": 2000, "do": "busy"}]})"),
                  1, 100);
  const struct {
    std::uint64_t atMs;
    tools::PipeState state;
    std::uint64_t next;
  } rows[] = {
      {0, tools::PipeState::kBusy, 1000},      {999, tools::PipeState::kBusy, 1000},
      {1000, tools::PipeState::kAbsent, 1500}, {1499, tools::PipeState::kAbsent, 1500},
      {1500, tools::PipeState::kBusy, 2000},   {2000, tools::PipeState::kServing, kNoChange},
  };
  for (const auto& row : rows) {
    std::uint64_t next = 0;
    EXPECT_EQ(planner.StateAt(100 + row.atMs, next), row.state) << "at " << row.atMs;
    EXPECT_EQ(next, row.next == kNoChange ? kNoChange : 100 + row.next) << "at " << row.atMs;
  }
}

TEST(DevServicePlanner, EachActionTellsThePipeWhatToWrite) {
  const Outcome table = {1168, "no such job"};
  const struct {
    const char* step;
    std::vector<std::size_t> sizes;  // of the messages
    std::size_t empties;
    bool hangUp;
    std::string start;  // of the first message
  } rows[] = {
      {R"("do": "reply")", {1024}, 0, false, "5;1168;no such job;"},
      {R"("do": "reply", "status": 0, "message": "ok")", {1024}, 0, false, "5;0;ok;"},
      {R"("do": "raw", "text": "a;1;b")", {1024}, 0, false, "a;1;b"},
      {R"("do": "raw", "text": "a;1;b", "pad": false)", {5}, 0, false, "a;1;b"},
      {R"("do": "partial", "bytes": 7, "status": 3)", {7}, 0, true, "5;3;no "},
      {R"("do": "oversize", "bytes": 10)", {1034}, 0, false, "5;1168;"},
      {R"("do": "empty", "count": 3)", {1024}, 3, false, "5;1168;"},
      {R"("do": "empty", "count": "forever")", {1024}, tools::kUntilTheCallerLeaves, false, "5;"},
      {R"("do": "garbled", "bytes": 64)", {64}, 0, false, ""},
      {R"("do": "hang-up-after-read")", {}, 0, true, ""},
      {R"("do": "hang")", {}, 0, false, ""},
  };
  for (const auto& row : rows) {
    Planner planner(Read(std::string(R"({"rules": [{"delay_ms": 20, )") + row.step + "}]}"), 1, 0);
    const auto plan = planner.ForRequest(kStart5, 0);
    ASSERT_TRUE(plan) << row.step;
    const tools::Answer answer = AnswerFor(*plan, 5, table);
    std::vector<std::size_t> sizes;
    for (const std::string& message : answer.messages) sizes.push_back(message.size());
    EXPECT_EQ(sizes, row.sizes) << row.step;
    EXPECT_EQ(answer.emptyMessages, row.empties) << row.step;
    EXPECT_EQ(answer.hangUp, row.hangUp) << row.step;
    EXPECT_EQ(answer.delayMs, 20u) << row.step;
    if (!answer.messages.empty()) {
      EXPECT_EQ(answer.messages[0].rfind(row.start, 0), 0u) << row.step;
    }
  }
}

TEST(DevServiceRules, PresetsAreOneRuleForEveryRequest) {
  const struct {
    const char* fault;
    const char* error;  // nullptr: accepted
  } rows[] = {
      {"busy", nullptr},
      {"hang-up-after-read", nullptr},
      {"empty:forever", nullptr},
      {"partial:100", nullptr},
      {"reply:1460", nullptr},
      {"partial:1024", "--fault partial:1024: \"bytes\" must be a whole number from 0 to 1023"},
      {"partial:x", "--fault partial:x: \"x\" is not a whole number"},
      {"melt", "--fault melt: unknown action \"melt\""},
  };
  for (const auto& row : rows) {
    RuleSet rules;
    std::string error;
    EXPECT_EQ(PresetRules(row.fault, rules, error), row.error == nullptr) << row.fault;
    if (row.error != nullptr) {
      EXPECT_EQ(error, row.error);
    } else {
      ASSERT_EQ(rules.rules.size(), 1u);
      EXPECT_TRUE(rules.rules[0].match.TakesEverything()) << row.fault;
    }
  }
}

// The service's request path with hooks that keep what it says.
struct Harness {
  ServiceSettings options;
  JobTable jobs{5};
  Planner planner{RuleSet(), 1, 0};
  std::vector<std::string> console, journal;
  int limits = 0;
  Service service{options, jobs, planner, Hooks()};

  ServiceHooks Hooks() {
    ServiceHooks hooks;
    hooks.ticks = [] { return std::uint64_t{0}; };
    hooks.utc = [] { return LogTime{2026, 12, 8, 0, 0, 0, 0}; };
    hooks.console = [this](std::string line) { console.push_back(line); };
    hooks.journal = [this](std::string line) { journal.push_back(line); };
    hooks.limitReached = [this] { ++limits; };
    return hooks;
  }
  std::string Reply(const std::string& bytes, std::size_t size) {
    const tools::Answer answer = service.OnRequest({}, bytes.substr(0, kFrameSize), size);
    return answer.messages.empty() ? "" : answer.messages[0].c_str();
  }
};

std::string Frame(const std::string& text) {
  std::string frame = text;
  frame.resize(kFrameSize, '\0');
  return frame;
}

TEST(DevServiceRequests, WrongFramesAreRefusedAndTheStopIsSaid) {
  Harness h;
  h.options.maxRequests = 4;
  // Only a message of exactly one frame is carried out; the size of any other is journaled.
  EXPECT_EQ(h.Reply("1;1279;;", 8), "0;87;malformed: not a 1024-byte frame;");
  EXPECT_EQ(h.Reply(Frame("1;1279;;"), 1023), "0;87;malformed: not a 1024-byte frame;");
  EXPECT_EQ(h.Reply(Frame("1;1279;;") + std::string(64512, 'x'), 65536),
            "0;87;malformed: not a 1024-byte frame;");
  EXPECT_NE(h.journal.back().find("\"size\":65536"), std::string::npos) << h.journal.back();
  EXPECT_EQ(h.Reply(Frame("1;1279;;"), 1024), "1;0;started;");
  EXPECT_EQ(h.limits, 1);
  // Beyond the limit, and after the stop, nothing is carried out and the caller is told.
  EXPECT_EQ(h.Reply(Frame("1;1281;;"), 1024), "1;1061;stopping: request limit reached;");
  h.service.Stop();
  EXPECT_EQ(h.Reply(Frame("2;1279;;"), 1024), "2;1061;stopping: not carried out;");
  EXPECT_EQ(h.jobs.Execute(Requesting(2, 1279)).status, 0) << "job 2 was started after the stop";
  EXPECT_EQ(h.journal.size(), 6u);  // each on arrival; the outcomes come from the pipe
  EXPECT_EQ(h.console.size(), 6u);
}

// A rule's reply carries the request out only where it leaves the status to the job table, or
// says "carry_out": a host told its call failed must find the job unchanged.
TEST(DevServiceRequests, ARuleActsOnlyWhereItLeavesTheStatusToTheTable) {
  const struct {
    const char* step;
    const char* reply;  // to StartJob(1)
    bool started;
  } rows[] = {
      {R"("do": "reply", "status": 5023, "message": "refused")", "1;5023;refused;", false},
      {R"("do": "reply", "status": 9)", "1;9;;", false},
      {R"("do": "reply", "status": 0, "message": "ok")", "1;0;ok;", false},
      {R"("do": "partial", "bytes": 1023, "status": 1460)", "1;1460;", false},
      {R"("do": "empty", "count": 2, "status": 87)", "1;87;;", false},
      {R"("do": "reply", "status": 0, "carry_out": false)", "1;0;;", false},
      {R"("do": "reply")", "1;0;started;", true},
      {R"("do": "reply", "message": "on its way")", "1;0;on its way;", true},
      {R"("do": "reply", "status": 9, "carry_out": true)", "1;9;started;", true},
      {R"("do": "oversize", "bytes": 1, "carry_out": true)", "1;0;started;", true},
  };
  for (const auto& row : rows) {
    Harness h;
    h.planner.Replace(Read(std::string(R"({"rules": [{"name": "r", )") + row.step + "}]}"), 1, 0);
    EXPECT_EQ(h.Reply(Frame("1;1279;;"), 1024).substr(0, std::string(row.reply).size()), row.reply)
        << row.step;
    // Cancelling succeeds only on a started job.
    EXPECT_EQ(h.jobs.Execute(Requesting(1, 1281)).status == 0, row.started) << row.step;
  }
  Harness h;
  h.planner.Replace(Read(R"({"rules": [{"name": "fixed", "do": "reply", "status": 7}]})"), 1, 0);
  h.Reply(Frame("1;1279;;"), 1024);
  EXPECT_NE(h.journal[0].find("\"rule\":\"fixed\",\"step\":1,\"action\":\"reply\",\"status\":7"),
            std::string::npos)
      << h.journal[0];
}

// Bytes a rule writes as the reply are journaled with the status the caller's library decodes
// from them; a reply too short to decode leaves the caller waiting, and has none.
TEST(DevServiceRequests, WrittenBytesAreJournaledWithTheStatusTheyDecodeTo) {
  const struct {
    const char* step;
    const char* journaled;
  } rows[] = {
      {R"("do": "raw", "text": "1;1460;busy;")", "\"status\":1460"},
      {R"("do": "raw", "text": "")", "\"status\":0"},
      {R"("do": "raw", "text": "1;1460;", "pad": false)", "\"status\":null"},
      {R"("do": "garbled", "bytes": 8)", "\"status\":null"},
  };
  for (const auto& row : rows) {
    Harness h;
    h.planner.Replace(Read(std::string(R"({"rules": [{"name": "r", )") + row.step + "}]}"), 1, 0);
    h.Reply(Frame("1;1279;;"), 1024);
    ASSERT_EQ(h.journal.size(), 1u) << row.step;
    EXPECT_NE(h.journal[0].find(row.journaled), std::string::npos) << row.step << h.journal[0];
  }
  Harness h;  // a whole garbled frame decodes to some status
  h.planner.Replace(Read(R"({"rules": [{"name": "r", "do": "garbled"}]})"), 1, 0);
  h.Reply(Frame("1;1279;;"), 1024);
  EXPECT_EQ(h.journal[0].find("\"status\":null"), std::string::npos) << h.journal[0];
}

// An outage leaves no request line behind: the journal says when the pipe was busy or absent.
TEST(DevServiceRequests, ThePipesOutagesAreJournaled) {
  Harness h;
  h.planner.Replace(Read(R"({"rules": [{"for_ms": 100, "do": "busy"},
                                       {"after_ms": 200, "for_ms": 100, "do": "absent"}]})"),
                    1, 0);
  std::uint64_t next = 0;
  for (const std::uint64_t at : {0, 50, 150, 250, 350}) h.service.StateNow(at, next);
  std::vector<std::string> states;
  for (const std::string& line : h.journal) {
    const std::size_t at = line.find("\"state\":\"");
    if (line.find("\"event\":\"pipe\"") != std::string::npos && at != std::string::npos) {
      states.push_back(line.substr(at + 9, line.find('"', at + 9) - at - 9));
    }
  }
  EXPECT_EQ(states, (std::vector<std::string>{"busy", "serving", "absent", "serving"}));
}

// A pattern whose matching runs past its bound (here an exponential one against 250 a's) is no
// match for that request, is said once per rule, and costs the request a bounded time.
TEST(DevServiceRequests, APatternPastItsBoundIsNoMatchAndIsSaidOnce) {
  Harness h, plain;
  h.planner.Replace(Read(R"({"rules": [{"name": "exponential", "match": {"text": "re:(a|a)*b"},
                                        "do": "reply", "status": 7, "message": "matched"}]})"),
                    1, 0);
  const std::string costly = Frame("-1;1286;" + std::string(250, 'a') + ";");
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(h.Reply(costly, 1024), plain.Reply(costly, 1024));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(h.Reply(Frame("-1;1286;aab;"), 1024), "-1;7;matched;");
  const auto count = [](const std::vector<std::string>& lines, const char* part) {
    return std::count_if(lines.begin(), lines.end(), [part](const std::string& line) {
      return line.find(part) != std::string::npos;
    });
  };
  EXPECT_EQ(count(h.console, "rule \"exponential\": its pattern gave up"), 1);
  EXPECT_EQ(count(h.journal,
                  "\"event\":\"pattern\",\"time\":\"2026-12-08T00:00:00.000Z\","
                  "\"rule\":\"exponential\""),
            1);
  // Rules replaced between the match and the plan are matched afresh.
  const Matches before = h.planner.Match(Requesting(-1, 1286, "aab"));
  h.planner.Replace(RuleSet(), 1, 0);
  EXPECT_FALSE(h.planner.ForRequest(before, 0).current);
  EXPECT_TRUE(h.planner.ForRequest(h.planner.Match(Requesting(-1, 1286, "aab")), 0).current);
}

TEST(DevServiceVerify, CountsWhatTheJournalHoldsAndShowsTheNearestMisses) {
  std::string journal;
  const LogTime time = {2026, 12, 8, 0, 0, 0, 0};
  const Decision rule = {"flaky", 1, "garbled", std::nullopt, ""};
  const Decision none = {"", 0, "", 0, "started"};
  const Request start6 = Requesting(6, 1279), byName = Requesting(-1, 1286, "C:\\temp\\a");
  journal += JsonLine(1, 7, time, &kStart5, none) + OutcomeLine(1, {1024, false, 1});
  journal += JsonLine(2, 7, time, &kStart5, rule) + JsonLine(3, 7, time, &start6, none);
  journal += JsonLine(4, 7, time, &byName, rule) + JsonLine(5, 7, time, nullptr, rule);
  const auto verify = [](const char* exportName, std::optional<int> job, const char* text,
                         const char* rule, std::optional<long> count, std::optional<long> atLeast) {
    VerifyConditions options;
    options.exportName = exportName;
    options.job = job;
    options.text = text;
    options.rule = rule;
    options.count = count;
    options.atLeast = atLeast;
    return options;
  };
  const auto with = [](VerifyConditions options,
                       const std::function<void(VerifyConditions&)>& set) {
    set(options);
    return options;
  };
  const struct {
    VerifyConditions options;
    Verdict verdict;
    const char* said;
  } rows[] = {
      {verify("StartJob", 5, "", "", 2, {}), Verdict::kAgrees,
       "found 2 request(s) with export StartJob, job 5; expected exactly 2"},
      {verify("StartJob", 5, "", "", 3, {}), Verdict::kDisagrees, "#3 StartJob(6): job 6, not 5\n"},
      {verify("", {}, "contains:temp", "flaky", 2, {}), Verdict::kDisagrees,
       "#5 connection: text none, not \"contains:temp\"\n"
       "  #2 StartJob(5): text \"\", not \"contains:temp\"\n"},
      {verify("StartJob", {}, "", "", {}, {}), Verdict::kAgrees, "expected at least 1"},
      {verify("", {}, "", "flaky", 3, {}), Verdict::kAgrees, "rule \"flaky\""},
      {verify("DeleteJobFileByName", {}, "contains:temp", "", 1, {}), Verdict::kAgrees, "found 1"},
      {verify("", {}, "re:C:.*", "", {}, 2), Verdict::kDisagrees, "nearest that did not match"},
      {verify("", 9, "", "", 0, {}), Verdict::kAgrees, "found 0"},
      {verify("Nothing", {}, "", "", {}, {}), Verdict::kCannotTell, "not an export"},
      // A status sent (none for a garbled reply or a hang-up), an action, a first number.
      {with(verify("", {}, "", "", 2, {}), [](VerifyConditions& o) { o.status = 0; }),
       Verdict::kAgrees, "with status 0; expected exactly 2"},
      {with(verify("", {}, "", "", 3, {}), [](VerifyConditions& o) { o.action = "garbled"; }),
       Verdict::kAgrees, "found 3 request(s) with action garbled"},
      {with(verify("StartJob", {}, "", "", 1, {}), [](VerifyConditions& o) { o.since = 3; }),
       Verdict::kAgrees, "with export StartJob, from #3"},
      {with(verify("", {}, "", "", 1, {}), [](VerifyConditions& o) { o.status = 0, o.since = 2; }),
       Verdict::kAgrees, "found 1"},
  };
  for (const auto& row : rows) {
    std::string report;
    EXPECT_EQ(CheckJournal(journal, row.options, report), row.verdict) << report;
    EXPECT_NE(report.find(row.said), std::string::npos) << report;
  }
  EXPECT_EQ(VerdictJson(Verdict::kAgrees, 2, "found 2\n"),
            "{\"count\":2,\"agrees\":true,\"report\":\"found 2\\n\"}\n");
  EXPECT_EQ(VerdictJson(Verdict::kCannotTell, 0, "x"),
            "{\"count\":null,\"agrees\":false,\"report\":\"x\"}\n");
}

// A journal line that is not as the service writes it ends the check with its line number,
// whatever it holds; lines the service could not write show as gaps in the numbering.
TEST(DevServiceVerify, AnUnreadableLineIsNamedAndMissingRequestsAreSaid) {
  using namespace std::string_literals;
  VerifyConditions byJob;
  byJob.job = 5;
  const struct {
    std::string journal;
    const char* said;
  } unreadable[] = {
      {"{\"seq\":1}\nnot json\n", "the journal cannot be read: line 2: not a JSON object"},
      {"{\"seq\":1,\"event\":\"request\",\"command\":5}\n", "line 1: \"command\" is a number"},
      {"{}\n{\"seq\":2,\"event\":\"request\",\"job\":\"5\"}\n", "line 2: \"job\" is a string"},
      {"{\"seq\":\"1\",\"event\":\"connection\"}\n", "line 1: \"seq\" is a string"},
      {"{\"a\":" + std::string(100000, '[') + "\n", "line 1: nested deeper than 16 levels"},
      {"{\"seq\":1,\"event\":\"request\"}\0\n"s, "line 1: a NUL byte"},
      {"{\"seq\":1,\"seq\":2,\"event\":\"request\"}\n", "line 1: \"seq\" is given twice"},
      // Numbers no conversion may take: too large for the field, or not whole.
      {"{\"seq\":1,\"event\":\"request\",\"job\":1888888888888888888888888279}\n",
       "line 1: \"job\" is 1.8888888888888889e+27, not a number the service writes"},
      {"{\"seq\":1,\"event\":\"request\",\"job\":4294967301}\n",
       "line 1: \"job\" is 4294967301, not a number"},
      {"{\"seq\":1,\"event\":\"request\",\"job\":5.5}\n", "line 1: \"job\" is 5.5, not"},
      {"{\"seq\":-1,\"event\":\"request\"}\n", "line 1: \"seq\" is -1, not"},
  };
  for (const auto& row : unreadable) {
    std::string report;
    EXPECT_EQ(CheckJournal(row.journal, byJob, report), Verdict::kCannotTell) << report;
    EXPECT_NE(report.find(row.said), std::string::npos) << report << "\n  wanted: " << row.said;
  }
  // Requests 3, 4 and 6 are missing; a second run of the service numbers from 1 again.
  const LogTime time = {2026, 12, 8, 0, 0, 0, 0};
  const Decision none = {"", 0, "", 0, "started"};
  std::string journal;
  for (const int seq : {1, 2, 5, 7, 1, 2}) journal += JsonLine(seq, 7, time, &kStart5, none);
  std::string report;
  VerifyConditions six;
  six.count = 6;
  EXPECT_EQ(CheckJournal(journal, six, report), Verdict::kAgrees) << report;
  EXPECT_NE(report.find("lacks request(s) #3-#4, #6: lines the service could not write"),
            std::string::npos)
      << report;
  journal = JsonLine(1, 7, time, &kStart5, none) + JsonLine(2, 7, time, &kStart5, none);
  EXPECT_EQ(CheckJournal(journal, six, report), Verdict::kDisagrees);
  EXPECT_EQ(report.find("lacks"), std::string::npos) << report;
}

// Lines beyond the backlog are dropped while the console blocks; the next line written says
// how many.
TEST(DevServiceJournal, AnUnreadConsoleHearsHowManyLinesItMissed) {
  std::vector<std::string> taken;
  std::mutex slow;
  slow.lock();
  LineWriter later(
      [&](const std::string& line) {
        std::lock_guard<std::mutex> wait(slow);
        taken.push_back(line);
      },
      2, "svc");
  for (int i = 0; i < 10; ++i) later.Add("l" + std::to_string(i) + "\n");
  slow.unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  later.Add("last\n");
  EXPECT_TRUE(later.Close(5000));
  // The next line written after the drops carries their count: together, all 11 lines.
  long dropped = 0;
  for (const std::string& line : taken) {
    if (line.rfind("svc: ", 0) == 0) dropped += std::atol(line.c_str() + 5);
  }
  EXPECT_GT(dropped, 0);
  EXPECT_EQ(dropped + static_cast<long>(taken.size()), 11);
  EXPECT_EQ(taken.back().substr(taken.back().size() - 5), "last\n");
}

// Runs `work` in a child process whose files may not grow past `limit` bytes; returns what it
// returned.
std::string UnderAFileSizeLimit(rlim_t limit, const std::function<std::string()>& work) {
  int out[2];
  EXPECT_EQ(pipe(out), 0);
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit size = {limit, limit};
    setrlimit(RLIMIT_FSIZE, &size);
    const std::string said = work();
    if (write(out[1], said.data(), said.size()) < 0) _exit(3);
    _exit(0);
  }
  close(out[1]);
  std::string said;
  char buffer[256];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) said.append(buffer, n);
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return said;
}

// Appends `lines` to the file at `path` under a size limit; says which were taken.
std::string AppendUnderALimit(const std::string& path, rlim_t limit, int lines) {
  return UnderAFileSizeLimit(limit, [&] {
    JournalFile file;
    std::string error, said;
    if (!file.Open(path, error)) return std::string("cannot open");
    for (int i = 0; i < lines; ++i) {
      const bool taken = file.Append(
          "{\"seq\":" + std::to_string(i) + ",\"pad\":\"" + std::string(40, 'p') + "\"}\n", error);
      said += taken ? "+" : "-(" + error + ")";
    }
    return said;
  });
}

std::string FileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

TEST(DevServiceJournal, AFullDiskTakesWholeLinesOrNone) {
  const std::string path = ::testing::TempDir() + "velmora-journal-limit.jsonl";
  std::remove(path.c_str());
  const std::string said = AppendUnderALimit(path, 200, 6);  // 59-byte lines: 3 fit
  EXPECT_EQ(said.substr(0, 3), "+++") << said;
  EXPECT_NE(said.find("-(the file has reached its size limit)"), std::string::npos) << said;
  const std::string text = FileText(path);
  EXPECT_EQ(text.size(), 3 * 59u) << "a part of a line was left";
  EXPECT_EQ(text.find('\r'), std::string::npos);
  std::remove(path.c_str());
  // A disk that takes nothing says so.
  JournalFile full;
  std::string error;
  ASSERT_TRUE(full.Open("/dev/full", error)) << error;
  EXPECT_FALSE(full.Append("{}\n", error));
  EXPECT_EQ(error.rfind("the disk is full", 0), 0u) << error;
}

// A request whose line the file did not take loses its outcome line too, though a short line
// would still fit; the losses are counted when the file takes lines again and at the end.
TEST(DevServiceJournal, ARequestsLinesAreKeptOrLostTogetherAndTheLossIsCounted) {
  const std::string path = ::testing::TempDir() + "velmora-journal-keeper.jsonl";
  std::remove(path.c_str());
  // Each line: {"seq":N,"event":"E","pad":"..."} padded to `bytes` with its newline.
  const auto line = [](int seq, const std::string& event, std::size_t bytes) {
    const std::string head =
        "{\"seq\":" + std::to_string(seq) + ",\"event\":\"" + event + "\",\"pad\":\"";
    return head + std::string(bytes - head.size() - 3, 'p') + "\"}\n";
  };
  const std::vector<std::string> lines = {
      line(1, "request", 80), line(1, "outcome", 40),  // 120 bytes taken
      line(2, "request", 90),                          // 210: lost
      line(2, "outcome", 40),                          // would fit; left out with its request
      line(3, "request", 70),                          // 190: taken
      line(3, "outcome", 40),                          // 230: lost
  };
  const std::string said = UnderAFileSizeLimit(200, [&] {
    JournalFile file;
    std::string error, said;
    if (!file.Open(path, error)) return error;
    JournalKeeper keeper(file, [&said](std::string text) { said += text; });
    for (const std::string& text : lines) keeper.Write(text);
    said += "total " + std::to_string(keeper.SayTotal()) + "\n";
    return said;
  });
  EXPECT_EQ(FileText(path), lines[0] + lines[1] + lines[4]);
  const std::vector<std::string> expected = {
      "cannot write to " + path + ": the file has reached its size limit",
      path + " takes lines again; 2 journal line(s) were lost meanwhile",
      "3 journal line(s) in all were not written", "total 3"};
  std::size_t from = 0;
  for (const std::string& text : expected) {
    from = said.find(text, from);
    ASSERT_NE(from, std::string::npos) << "no \"" << text << "\" in order in:\n" << said;
  }
  EXPECT_NE(said.find("cannot write", said.find("takes lines again")), std::string::npos)
      << "the second failure is said too:\n"
      << said;
  std::remove(path.c_str());
}

}  // namespace
}  // namespace velmora::devservice

namespace velmora::devservice {
namespace {

// Requests from several connections and resets of the numbering at once: every segment of the
// journal after a reset line numbers its requests 1, 2, 3 ... with none from before it.
TEST(DevServiceNumbering, AResetLineAndTheNumberingAreOneStep) {
  Harness h;
  std::mutex linesLock;
  std::vector<std::string> lines;
  ServiceHooks hooks = h.Hooks();
  hooks.console = [](const std::string&) {};
  hooks.journal = [&](const std::string& line) {
    std::lock_guard<std::mutex> lock(linesLock);
    lines.push_back(line);
  };
  Service service{h.options, h.jobs, h.planner, hooks};
  std::atomic<bool> done{false};
  std::vector<std::thread> callers;
  for (int i = 0; i < 4; ++i) {
    callers.emplace_back([&] {
      while (!done) service.OnRequest({}, Frame("1;1287;;"), kFrameSize);
    });
  }
  for (int i = 0; i < 200; ++i) {
    service.Reset(false, true, [&] { hooks.journal("{\"event\":\"reset\"}\n"); });
  }
  done = true;
  for (std::thread& caller : callers) caller.join();
  std::uint64_t expected = 0;
  bool segment = false;
  int wrong = 0;
  for (const std::string& line : lines) {
    if (line.rfind("{\"event\":\"reset\"", 0) == 0) {
      expected = 1;
      segment = true;
    } else if (segment && line.rfind("{\"seq\":", 0) == 0 &&
               line.find("\"event\":\"request\"") != std::string::npos) {
      wrong += std::stoull(line.substr(7)) != expected++;
    }
  }
  EXPECT_EQ(wrong, 0) << "request lines numbered out of their segment";
}

}  // namespace
}  // namespace velmora::devservice
