// The control pipe's protocol without a pipe: each line's answer and what it did to the service.
#include "control/control.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include "journal/entry.h"

namespace velmora::devservice {
namespace {

// Records what the operations asked of the service.
class FakeTarget : public ControlTarget {
 public:
  ServiceState State() override { return {"3.0.0.85", 4242, rules.size(), 7, 12}; }
  std::uint64_t Apply(std::uint64_t session, RuleSet set) override {
    rules = set.rules;
    appliedIn = session;
    return set.seed.value_or(99);
  }
  bool Reset(std::uint64_t, bool r, bool j, bool l, std::string& error) override {
    if (!resetRefusal.empty()) {
      error = resetRefusal;
      return false;
    }
    resets.push_back({r, j, l});
    return true;
  }

  // Sessions are numbered from 1; process 9 is not running.
  bool OpenSession(const std::string& name, unsigned long process, ControlConnection& connection,
                   std::string& error) override {
    if (process == 9) {
      error = "process 9 is not running";
      return false;
    }
    const std::uint64_t named = NamedSession(name);
    connection.session = named != 0 ? named : ++lastSession;
    connection.named = !name.empty();
    if (named == 0) open.push_back({connection.session, name});
    return true;
  }
  bool EndSession(std::uint64_t session) override {
    for (auto it = open.begin(); it != open.end(); ++it) {
      if (it->first == session) {
        open.erase(it);
        return true;
      }
    }
    return false;
  }
  std::uint64_t NamedSession(const std::string& name) override {
    for (const auto& [id, named] : open) {
      if (!name.empty() && named == name) return id;
    }
    return 0;
  }
  std::uint64_t JournalStart(std::uint64_t) override { return 1; }

  std::vector<Rule> rules;
  std::uint64_t appliedIn = 0;
  std::uint64_t lastSession = 0;
  std::vector<std::pair<std::uint64_t, std::string>> open;
  std::vector<std::vector<bool>> resets;
  std::string resetRefusal;  // the reason a reset is refused with, when not empty
};

// A request line as the service journals it: StartJob(5), answered 0.
std::string StartJob5Line(std::uint64_t seq) {
  Request request;
  request.wellFormed = true;
  request.jobId = 5;
  request.command = 1279;
  Decision decision;
  decision.status = 0;
  std::string line = JsonLine(seq, 7, {2026, 12, 9, 3, 0, 0, 0}, &request, decision);
  if (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

TEST(DevServiceControl, EachLineGetsItsAnswerAndDoesWhatItSays) {
  const std::string nul("{\"op\":\"ping\"}\0", 14);
  const struct {
    std::string line;
    const char* answer;  // the whole answer, or the start of it
    std::size_t rules;   // what the service holds afterwards
    std::vector<std::vector<bool>> resets;
    bool stop;
  } rows[] = {
      {R"({"op":"ping"})",
       R"({"ok":true,"version":"3.0.0.85","pid":4242,"rules":0,"seed":7,"requests":12})",
       0,
       {},
       false},
      {R"({"op":"apply","rules":{"rules":[{"do":"reply","status":7},{"do":"hang"}]}})",
       R"({"ok":true,"rules":2,"seed":99})",
       2,
       {},
       false},
      {R"({"op":"apply","rules":{"$schema":"x","seed":5,"rules":[]}})",
       R"({"ok":true,"rules":0,"seed":5})",
       0,
       {},
       false},
      {R"({"op":"apply","rules":{"rules":[{"do":"hang"},{"do":"explode"}]}})",
       R"({"ok":false,"error":"rule 2: unknown action \"explode\""})",
       0,
       {},
       false},
      {R"({"op":"apply","rules":{"rules":[{"do":"hang"}],"sead":1}})",
       R"({"ok":false,"error":"unknown key \"sead\")",
       0,
       {},
       false},
      {R"({"op":"apply","rules":{"rules":[{"name":"a","do":"hang"},{"name":"a","do":"hang"}]}})",
       R"({"ok":false,"error":"rule 2: two rules are named \"a\""})",
       0,
       {},
       false},
      {R"({"op":"apply","rules":{"seed":1}})",
       R"({"ok":false,"error":"\"rules\" must be a list)",
       0,
       {},
       false},
      {R"({"op":"apply","rules":[]})",
       R"({"ok":false,"error":"apply needs \"rules\")",
       0,
       {},
       false},
      {R"({"op":"reset"})", R"({"ok":true})", 0, {{true, true, true}}, false},
      {R"({"op":"reset","jobs":false})", R"({"ok":true})", 0, {{true, false, true}}, false},
      {R"({"op":"reset","jobs":1})",
       R"({"ok":false,"error":"\"jobs\" must be true or false"})",
       0,
       {},
       false},
      {R"({"op":"stop"})", R"({"ok":true})", 0, {}, true},
      {R"({"op":"stop","now":true})",
       R"({"ok":false,"error":"stop takes no \"now\""})",
       0,
       {},
       false},
      {R"({"op":"launch"})", R"({"ok":false,"error":"unknown op \"launch\")", 0, {}, false},
      {R"({"ping":1})",
       R"({"ok":false,"error":"each line must be one JSON object with an \"op\""})",
       0,
       {},
       false},
      {R"(["ping"])", R"({"ok":false,"error":"each line must be one JSON object)", 0, {}, false},
      {R"({"op":"ping")", R"({"ok":false,"error":"not JSON: parse error)", 0, {}, false},
      {R"({"op":"stop","op":"ping"})",
       R"({"ok":false,"error":"\"op\" is given twice)",
       0,
       {},
       false},
      {nul, R"({"ok":false,"error":"a NUL byte)", 0, {}, false},
      {std::string(50, '[') + std::string(50, ']'),
       R"({"ok":false,"error":"nested deeper)",
       0,
       {},
       false},
      {R"({"op":"journal","since":-1})",
       R"({"ok":false,"error":"\"since\" must be a whole number"})",
       0,
       {},
       false},
      // Bytes that are not UTF-8 are refused, never written back (the service ended on them).
      {"{\"op\":\"pi\xffng\"}", R"({"ok":false,"error":"the byte 0xFF is not UTF-8)", 0, {}, false},
      {"\xff", R"({"ok":false,"error":"the byte 0xFF is not UTF-8)", 0, {}, false},
      {"{\"op\":\"verify\",\"text\":\"\xe9\"}",
       R"({"ok":false,"error":"the byte 0xE9 is not UTF-8)",
       0,
       {},
       false},
      {R"({"op":"apply","rules":{"rules":[{"do":"reply","status":1,"probability":1e-400}]}})",
       R"({"ok":false,"error":"1e-400 is too small a number"})",
       0,
       {},
       false},
      {R"({"op":"verify","count":-1})",
       R"({"ok":false,"error":"\"count\" must be 0 or more"})",
       0,
       {},
       false},
      {R"({"op":"verify","count":1,"at_least":1})",
       R"({"ok":false,"error":"give \"count\" or \"at_least\", not both"})",
       0,
       {},
       false},
  };
  for (const auto& row : rows) {
    FakeTarget target;
    const MemoryJournal journal;
    ControlConnection connection;
    const ControlAnswer answer = AnswerControl(row.line, connection, target, journal);
    EXPECT_EQ(answer.line.rfind(row.answer, 0), 0u) << row.line << "\n  got " << answer.line;
    EXPECT_EQ(target.rules.size(), row.rules) << row.line;
    EXPECT_EQ(target.resets, row.resets) << row.line;
    EXPECT_EQ(answer.stop, row.stop) << row.line;
  }
}

TEST(DevServiceControl, JournalAndVerifyReadTheLinesKeptInMemory) {
  FakeTarget target;
  MemoryJournal journal(3);
  ControlConnection connection;
  const auto ask = [&](const std::string& line) {
    return AnswerControl(line, connection, target, journal).line;
  };
  EXPECT_EQ(ask(R"({"op":"journal"})"), R"({"ok":true,"entries":[],"next":1})");
  for (int seq = 1; seq <= 4; ++seq) journal.Add(StartJob5Line(seq) + "\n");
  // The oldest of four fell out; asking from before the first kept gives what is kept.
  EXPECT_EQ(ask(R"({"op":"journal","since":1})"), "{\"ok\":true,\"entries\":[" + StartJob5Line(2) +
                                                      "," + StartJob5Line(3) + "," +
                                                      StartJob5Line(4) + "],\"next\":5}");
  EXPECT_EQ(ask(R"({"op":"journal","since":4})"),
            "{\"ok\":true,\"entries\":[" + StartJob5Line(4) + "],\"next\":5}");
  EXPECT_EQ(ask(R"({"op":"journal","since":5})"), R"({"ok":true,"entries":[],"next":5})");
  const std::string three = ask(R"({"op":"verify","export":"StartJob","job":5,"count":3})");
  const std::string agrees = R"({"ok":true,"count":3,"agrees":true,"report":)";
  EXPECT_EQ(three.substr(0, agrees.size()), agrees);
  // The line no longer kept is said to be missing from the count, not silently left out.
  EXPECT_NE(three.find("keeps its last 3 lines: its first 1 are no longer held"), std::string::npos)
      << three;
  const std::string none = ask(R"({"op":"verify","job":6})");
  const std::string disagrees = R"({"ok":true,"count":0,"agrees":false,"report":)";
  EXPECT_EQ(none.substr(0, disagrees.size()), disagrees);
  journal.Clear();
  EXPECT_EQ(ask(R"({"op":"journal","since":1})"), R"({"ok":true,"entries":[],"next":1})");
}

TEST(DevServiceControl, JournalAndVerifyCountTheSameRequests) {
  // Outcome and rules lines between the requests: the journal's numbers are the requests', so
  // the `next` it gives is where verify's `since` starts, and request 1's late outcome stays its.
  FakeTarget target;
  MemoryJournal journal;
  const std::string rules = RulesLine({}, "the control pipe", 0, 1);
  const std::string outcome1 = OutcomeLine(1, tools::Delivery());
  for (const std::string& line : {StartJob5Line(1), rules, StartJob5Line(2), outcome1}) {
    journal.Add(line);
  }
  ControlConnection connection;
  const auto ask = [&](const std::string& line) {
    return AnswerControl(line, connection, target, journal).line;
  };
  const std::string lines = rules.substr(0, rules.size() - 1) + "," + StartJob5Line(2);
  EXPECT_EQ(ask(R"({"op":"journal","since":2})"),
            "{\"ok\":true,\"entries\":[" + lines + "],\"next\":3}");
  const std::string one = ask(R"({"op":"verify","since":2,"count":1})");
  EXPECT_NE(one.find(R"("count":1,"agrees":true)"), std::string::npos) << one;
  journal.Clear();  // as a reset of the journal does, before its line
  const std::string reset = ResetLine({}, true, true, true);
  journal.Add(reset);
  EXPECT_EQ(ask(R"({"op":"journal","since":1})"),
            "{\"ok\":true,\"entries\":[" + reset.substr(0, reset.size() - 1) + "],\"next\":1}");
}

// One connection through a session's life: what a session refuses, what it acts on, whose
// journal lines it sees, and that only an unnamed session ends with its connection.
TEST(DevServiceControl, AConnectionsSessionTakesItsOpsUntilItEnds) {
  FakeTarget target;
  MemoryJournal journal;
  Decision inSession;
  inSession.session = 1;
  Request request;
  request.wellFormed = true;
  journal.Add(StartJob5Line(1));
  journal.Add(JsonLine(2, 7, {}, &request, inSession));
  ControlConnection connection{4242};
  const std::string busy = R"({"op":"apply","rules":{"rules":[{"do":"busy"}]}})";
  const struct {
    std::string line;
    const char* answer;  // the start of the answer
    std::uint64_t session;
  } steps[] = {
      {R"({"op":"end"})", R"({"ok":false,"error":"this connection holds no session"})", 0},
      {R"({"op":"session","process":9})", R"({"ok":false,"error":"process 9 is not running"})", 0},
      {busy, R"({"ok":true)", 0},
      {R"({"op":"session"})", R"({"ok":true,"session":1})", 1},
      {R"({"op":"session"})", R"({"ok":false,"error":"this connection holds session 1)", 1},
      {busy, R"({"ok":false,"error":"busy acts on the whole pipe: apply it outside a session"})",
       1},
      {R"({"op":"apply","rules":{"rules":[{"do":"absent","for_ms":100}]}})",
       R"({"ok":false,"error":"absent acts on the whole pipe)", 1},
      {R"({"op":"verify","session":2})",
       R"({"ok":false,"error":"a session verifies its own requests only"})", 1},
      {R"({"op":"verify","count":1})", R"({"ok":true,"count":1,"agrees":true)", 1},
      {R"({"op":"journal"})", "{\"ok\":true,\"entries\":[{\"seq\":2,", 1},
      {R"({"op":"end"})", R"({"ok":true,"session":1})", 0},
      {R"({"op":"verify","count":2})", R"({"ok":true,"count":2,"agrees":true)", 0},
      {R"({"op":"session","name":"nightly"})", R"({"ok":true,"session":2})", 2},
  };
  for (const auto& step : steps) {
    const std::string answer = AnswerControl(step.line, connection, target, journal).line;
    EXPECT_EQ(answer.rfind(step.answer, 0), 0u) << step.line << "\n  got " << answer;
    EXPECT_EQ(connection.session, step.session) << step.line;
  }
  EXPECT_EQ(target.appliedIn, 0u);  // the one apply taken came outside the session
  EndConnection(connection, target);
  EXPECT_EQ(target.NamedSession("nightly"), 2u);
  connection.named = false;
  EndConnection(connection, target);
  EXPECT_EQ(target.NamedSession("nightly"), 0u);
}

TEST(DevServiceControl, LinesAreCutWhereverTheReadsEndAndBoundedInLength) {
  const std::string limit(kMaxControlLine, 'x');
  const struct {
    std::vector<std::string> reads;
    std::vector<std::string> lines;
    bool accepted;
  } rows[] = {
      {{"{\"op\":", "\"ping\"}\n{\"op\"", ":\"stop\"}\r\n"},
       {"{\"op\":\"ping\"}", "{\"op\":\"stop\"}"},
       true},
      {{"\n\n"}, {"", ""}, true},
      {{limit, "\n"}, {limit}, true},
      {{limit + "\r\n"}, {limit}, true},  // the CR LF is the line's end, not its text
      {{limit + "\r", "\n"}, {limit}, true},
      {{limit + "\r", "x"}, {}, false},
      {{limit + "x"}, {}, false},
      {{"a\n" + limit, "x\n"}, {"a"}, false},
  };
  for (const auto& row : rows) {
    LineSplitter splitter;
    std::vector<std::string> lines;
    bool accepted = true;
    for (const std::string& read : row.reads) accepted = accepted && splitter.Add(read, lines);
    EXPECT_EQ(lines, row.lines);
    EXPECT_EQ(accepted, row.accepted);
  }
}

}  // namespace
}  // namespace velmora::devservice
