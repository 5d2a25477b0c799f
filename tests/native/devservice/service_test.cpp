// The development service's options, its frame parsing (any bytes a client may send), its jobs'
// state transitions and its log lines, without a pipe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/options.h"
#include "frames/job_table.h"
#include "frames/service_protocol.h"
#include "journal/entry.h"

namespace velmora::devservice {
namespace {

Request Parse(const std::string& bytes) {
  return ParseRequest(bytes.data(), bytes.size());
}

std::string Padded(const std::string& text) {
  std::string frame = text;
  frame.resize(kFrameSize, '\0');
  return frame;
}

struct ParseCase {
  const char* name;
  std::string bytes;
  bool wellFormed;
  int jobId;
  int command;
  std::string param;
  bool cut;
};

TEST(DevServiceFrames, ParseEveryShapeOfRequest) {
  const std::string edition2Cut = "-1;1286;" + std::string(251, 'n');
  const ParseCase cases[] = {
      {"plain start", Padded("5;1279;;"), true, 5, 1279, "", false},
      {"no job", Padded("-1;1284;;"), true, -1, 1284, "", false},
      {"state text", Padded("7;1283;true;"), true, 7, 1283, "true", false},
      {"param holding ; and |", Padded("3;1290;a;b|c;d;"), true, 3, 1290, "a;b|c;d", false},
      {"edition 2 cut, no final ;", Padded(edition2Cut), true, -1, 1286, std::string(251, 'n'),
       true},
      {"no terminator at all", "9;1279;" + std::string(1017, 'x'), true, 9, 1279,
       std::string(1017, 'x'), true},
      {"extremes", Padded("-2147483648;2147483647;;"), true, INT32_MIN, INT32_MAX, "", false},
      {"short message", "5;1279;;", false, 0, 0, "", false},
      {"a frame and a byte", Padded("5;1279;;") + "x", false, 0, 0, "", false},
      {"empty frame", Padded(""), false, 0, 0, "", false},
      {"no fields", Padded("hello"), false, 0, 0, "", false},
      {"one field", Padded("5;"), false, 0, 0, "", false},
      {"job not a number", Padded("x;1279;;"), false, 0, 0, "", false},
      {"job with a space", Padded(" 5;1279;;"), false, 0, 0, "", false},
      {"job too large", Padded("2147483648;1279;;"), false, 0, 0, "", false},
      {"command empty", Padded("5;;;"), false, 0, 0, "", false},
      {"lone minus", Padded("-;1279;;"), false, 0, 0, "", false},
      {"binary bytes", Padded(std::string("\x01\xff;\x80;\x02;", 7)), false, 0, 0, "", false},
  };
  for (const ParseCase& c : cases) {
    const Request request = Parse(c.bytes);
    EXPECT_EQ(request.wellFormed, c.wellFormed) << c.name;
    if (!c.wellFormed) {
      EXPECT_FALSE(request.problem.empty()) << c.name;
      continue;
    }
    EXPECT_EQ(request.jobId, c.jobId) << c.name;
    EXPECT_EQ(request.command, c.command) << c.name;
    EXPECT_EQ(request.param, c.param) << c.name;
    EXPECT_EQ(request.cut, c.cut) << c.name;
  }
}

TEST(DevServiceFrames, NeverLooksPastTheBytesReceived) {
  // 1024 bytes with no zero byte and a neighbour that must not be read.
  std::vector<char> bytes(kFrameSize + 16, '7');
  bytes[1] = ';';
  bytes[kFrameSize] = ';';
  const Request request = ParseRequest(bytes.data(), kFrameSize);
  EXPECT_FALSE(request.wellFormed);  // "7;777...": the command field never ends
}

TEST(DevServiceFrames, RepliesAreWholeFramesTheLibraryCanRead) {
  const std::string reply = FormatReply(5, 0, "started");
  ASSERT_EQ(reply.size(), kFrameSize);
  EXPECT_EQ(reply.substr(0, 12), "5;0;started;");
  EXPECT_EQ(reply.find_first_not_of('\0', 12), std::string::npos);
  // A message stops at ";" and keeps 259 bytes, as the library would read it.
  EXPECT_EQ(FormatReply(-1, 87, "bad;rest").substr(0, 10), std::string("-1;87;bad;"));
  const std::string longReply = FormatReply(1, 2, std::string(400, 'm'));
  EXPECT_EQ(longReply.find('\0'), 4 + 259 + 1u);
}

// A row: the command sent to a job, and what the service answers and leaves behind.
struct Step {
  int jobId;
  int command;
  const char* param;
  int status;
  const char* message;
  const char* stateAfter;  // nullptr: the job no longer exists
};

void RunSteps(const char* story, JobTable& table, const std::vector<Step>& steps) {
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    Request request;
    request.wellFormed = true;
    request.jobId = step.jobId;
    request.command = step.command;
    request.param = step.param;
    const Outcome outcome = table.Execute(request);
    const std::string where = std::string(story) + ", step " + std::to_string(i + 1);
    EXPECT_EQ(outcome.status, step.status) << where;
    EXPECT_EQ(outcome.message, step.message) << where;
    EXPECT_EQ(outcome.message.find(';'), std::string::npos) << where;
    const auto job = table.Find(step.jobId);
    if (step.stateAfter == nullptr) {
      EXPECT_FALSE(job.has_value()) << where;
    } else {
      ASSERT_TRUE(job.has_value()) << where;
      EXPECT_STREQ(StateName(job->state), step.stateAfter) << where;
    }
  }
}

constexpr int kOk = kStatusOk;
constexpr int kNotFound = kStatusNotFound;
constexpr int kInvalid = kStatusInvalidState;
constexpr int kBad = kStatusInvalidParameter;

TEST(DevServiceJobs, StartCancelRestartDelete) {
  JobTable table(5);
  RunSteps("lifecycle", table,
           {
               {1, 1279, "", kOk, "started", "running"},
               {1, 1279, "", kInvalid, "already running", "running"},
               {1, 1282, "", kInvalid, "running, cancel first", "running"},
               {1, 1281, "", kOk, "cancelled", "cancelled"},
               {1, 1281, "", kInvalid, "not running", "cancelled"},
               {1, 1280, "", kOk, "restarted", "running"},
               {1, 1281, "", kOk, "cancelled", "cancelled"},
               {1, 1282, "", kOk, "deleted", nullptr},
               {1, 1279, "", kNotFound, "no such job", nullptr},
               {1, 1282, "", kNotFound, "no such job", nullptr},
           });
}

TEST(DevServiceJobs, EnableAndDisable) {
  JobTable table(5);
  RunSteps("state", table,
           {
               {2, 1283, "true", kInvalid, "already enabled", "idle"},
               {2, 1283, "false", kOk, "disabled", "disabled"},
               {2, 1283, "false", kInvalid, "already disabled", "disabled"},
               {2, 1279, "", kInvalid, "disabled", "disabled"},
               {2, 1280, "", kInvalid, "disabled", "disabled"},
               {2, 1283, "yes", kBad, "bad state", "disabled"},
               {2, 1283, "true", kOk, "enabled", "idle"},
               {2, 1279, "", kOk, "started", "running"},
               {2, 1283, "false", kInvalid, "running, cancel first", "running"},
               {6, 1283, "true", kNotFound, "no such job", nullptr},
           });
}

TEST(DevServiceJobs, MigrationAndSyncJobsAreCreatedRunning) {
  JobTable table(0);
  RunSteps("create", table,
           {
               {40, 1289, "C:\\mig.cfg", kOk, "migration started", "running"},
               {40, 1289, "again", kInvalid, "already running", "running"},
               {41, 1290, "a|b", kOk, "sync started", "running"},
               {41, 1281, "", kOk, "cancelled", "cancelled"},
               {41, 1290, "c|d", kOk, "sync started", "running"},
           });
  EXPECT_EQ(table.Find(40)->text, "C:\\mig.cfg");
  EXPECT_EQ(table.Find(41)->text, "c|d");
}

TEST(DevServiceJobs, CommandsWithEffectsOutsideTheServiceAreOnlyRecorded) {
  JobTable table(1);
  for (const int command : {1284, 1285, 1286, 1287, 1291}) {
    Request request;
    request.wellFormed = true;
    request.jobId = command == 1286 ? -1 : 1;
    request.command = command;
    request.param = "C:\\Windows\\System32";
    const Outcome outcome = table.Execute(request);
    EXPECT_EQ(outcome.status, kOk) << command;
    EXPECT_EQ(outcome.message, "recorded, nothing done") << command;
  }
  EXPECT_EQ(StateName(table.Find(1)->state), std::string("idle"));
}

TEST(DevServiceJobs, MalformedRequestsAndUnknownCommandsGet87) {
  JobTable table(5);
  EXPECT_EQ(table.Execute(Parse(Padded("garbage"))).status, kBad);
  EXPECT_EQ(table.Execute(Parse(Padded("garbage"))).message, "malformed: no fields");
  for (const int command : {1278, 1288, 1292, 0, -1}) {
    Request request;
    request.wellFormed = true;
    request.jobId = 1;
    request.command = command;
    EXPECT_EQ(table.Execute(request).status, kBad) << command;
  }
}

TEST(DevServiceOptions, ReadsEveryFlagAndRefusesTheRest) {
  Options options;
  std::string error;
  ASSERT_TRUE(ParseOptions(
      {"--instances", "3", "--jobs", "0", "--delay", "250", "--hangup", "--max-requests", "2",
       "--log", "r.jsonl", "--client-timeout", "500", "--rules", "r.json", "--seed", "42"},
      options, error))
      << error;
  EXPECT_EQ(options.serve.instances, 3);
  EXPECT_EQ(options.serve.jobs, 0);
  EXPECT_EQ(options.serve.delayMs, 250u);
  EXPECT_TRUE(options.serve.hangUp);
  EXPECT_EQ(options.serve.maxRequests, 2);
  EXPECT_EQ(options.serve.logFile, "r.jsonl");
  EXPECT_EQ(options.serve.clientTimeoutMs, 500u);
  EXPECT_EQ(std::make_pair(options.serve.rulesFile, options.serve.seed),
            std::make_pair(std::string("r.json"), std::optional<std::uint64_t>(42)));
  EXPECT_EQ(options.action, Options::Action::kServe);
  ASSERT_TRUE(ParseOptions({"verify", "--log", "j", "--job", "-1", "--count", "3", "--status", "-5",
                            "--since", "7", "--action", "hang", "--json"},
                           options, error));
  EXPECT_EQ(options.action, Options::Action::kVerify);
  EXPECT_EQ(std::make_tuple(options.verify.status, options.verify.since, options.verify.action,
                            options.verify.json),
            std::make_tuple(std::optional<std::int32_t>(-5), std::optional<std::uint64_t>(7),
                            std::string("hang"), true));
  EXPECT_EQ(std::make_pair(options.verify.job, options.verify.count),
            std::make_pair(std::optional<std::int32_t>(-1), std::optional<long>(3)));
  ASSERT_TRUE(ParseOptions({"--single"}, options, error));
  EXPECT_EQ(options.serve.instances, 1);
  EXPECT_EQ(Options().serve.clientTimeoutMs, 3000u);  // a few seconds unless told otherwise
  ASSERT_TRUE(ParseOptions({"--version"}, options, error));
  EXPECT_EQ(options.action, Options::Action::kVersion);
  ASSERT_TRUE(ParseOptions({"/?"}, options, error));  // as jobctl takes it
  EXPECT_EQ(options.action, Options::Action::kHelp);
  ASSERT_TRUE(ParseOptions({"verify", "--help"}, options, error));
  EXPECT_TRUE(options.action == Options::Action::kHelp && options.helpFor == "verify");

  // Each refusal names the flag, and the limits where it has some.
  const struct {
    std::vector<std::string> args;
    const char* error;
  } refused[] = {
      {{"--instances", "256"}, "--instances: needs a whole number from 1 to 255, not \"256\""},
      {{"--jobs", ""}, "--jobs: needs a whole number from 0 to 100000, not \"\""},
      {{"--delay", "5x"}, "--delay: needs a whole number from 0 to 3600000, not \"5x\""},
      {{"--client-timeout", "99"}, "--client-timeout: needs a whole number from 100 to 600000"},
      {{"--max-requests", " 3"}, "--max-requests: needs a whole number from 1 to 2147483647"},
      {{"--log", ""}, "--log: needs a file name"},
      {{"--log"}, "--log"},
      {{"--verbose"}, "The following argument was not expected: --verbose"},
      {{"--rules", "r.json", "--fault", "busy"}, "--rules excludes --fault"},
      {{"--single", "--instances", "4"}, "--instances excludes --single"},
      {{"--instances", "4", "--single"}, "excludes"},
      {{"verify", "--log", "j", "--count", "1", "--at-least", "1"}, "--count excludes --at-least"},
      {{"verify", "--export", "StartJob"}, "--log is required"},
  };
  for (const auto& row : refused) {
    Options ignored;
    error.clear();
    EXPECT_FALSE(ParseOptions(row.args, ignored, error)) << row.error;
    EXPECT_NE(error.find(row.error), std::string::npos) << "got: " << error;
  }
}

TEST(DevServiceJobs, AFullTableRefusesNewJobsWith1816) {
  JobTable jobs(2, 3);
  EXPECT_EQ(jobs.Execute(Parse(Padded("40;1289;a;"))).status, 0);
  const Outcome full = jobs.Execute(Parse(Padded("41;1290;a|b;")));
  EXPECT_EQ(full.status, 1816);
  EXPECT_EQ(full.message, "job table full");
  EXPECT_FALSE(jobs.Find(41));
  // A job that exists is replaced, not added.
  EXPECT_EQ(jobs.Execute(Parse(Padded("40;1281;;"))).status, 0);
  EXPECT_EQ(jobs.Execute(Parse(Padded("40;1289;b;"))).status, 0);
}

TEST(DevServiceLog, OneConsoleLineAndOneJsonLinePerRequest) {
  const LogTime time = {2026, 12, 8, 9, 5, 7, 42};
  const Request request = Parse(Padded("-1;1286;C:\\a \"b\";"));
  const Decision byTable = {"", 0, "", 0, "recorded, nothing done"};
  EXPECT_EQ(ConsoleLine(3, time, &request, byTable),
            "09:05:07.042Z  #3  job -1  DeleteJobFileByName (1286)  param \"C:\\\\a \\\"b\\\"\"  "
            "-> 0 recorded, nothing done\n");
  EXPECT_EQ(JsonLine(3, 7, time, &request, byTable),
            "{\"seq\":3,\"event\":\"request\",\"time\":\"2026-12-08T09:05:07.042Z\",\"seed\":7,"
            "\"job\":-1,\"command\":\"DeleteJobFileByName\",\"code\":1286,\"param\":\"C:\\\\a "
            "\\\"b\\\"\",\"cut\":false,\"rule\":null,\"step\":null,\"action\":null,\"status\":0,"
            "\"message\":\"recorded, nothing done\",\"session\":null}\n");
  // A rule's answer names the rule, its step and action; a hang-up before the read has no
  // request and no reply. A session's lines name it.
  const Decision byRule = {"flaky names", 2, "hang-up-before-read", std::nullopt, "", 2};
  EXPECT_EQ(ConsoleLine(4, time, nullptr, byRule),
            "09:05:07.042Z  #4  connection  -> no reply  [rule \"flaky names\" step 2: "
            "hang-up-before-read]\n");
  EXPECT_EQ(
      JsonLine(4, 7, time, nullptr, byRule),
      "{\"seq\":4,\"event\":\"connection\",\"time\":\"2026-12-08T09:05:07.042Z\",\"seed\":7,"
      "\"rule\":\"flaky names\",\"step\":2,\"action\":\"hang-up-before-read\",\"status\":null,"
      "\"message\":\"\",\"session\":2}\n");
  EXPECT_EQ(OutcomeLine(4, {100, true, 12}, 2),
            "{\"seq\":4,\"event\":\"outcome\",\"written\":100,\"left_early\":true,\"ms\":12,"
            "\"session\":2}\n");
}

TEST(DevServiceLog, MalformedRequestsShowTheBytesReceivedEscapedAndBounded) {
  const LogTime time = {2026, 12, 8, 9, 5, 7, 42};
  const Decision refused = {"", 0, "", 87, "malformed: bad job number"};
  const Request garbage = Parse(Padded("five;\x01\xff;" + std::string(100, 'z')));
  const std::string shown = "five;\\u0001\\u00ff;" + std::string(40, 'z');  // 48 bytes
  EXPECT_EQ(ConsoleLine(1, time, &garbage, refused),
            "09:05:07.042Z  #1  job 0  malformed (0)  bytes \"" + shown + "\" of 1024  -> 87 " +
                refused.message + "\n");
  EXPECT_NE(JsonLine(1, 0, time, &garbage, refused)
                .find("\"command\":\"malformed\",\"code\":0,\"param\":\"\",\"cut\":false,"
                      "\"bytes\":\"" +
                      shown + "\",\"size\":1024,"),
            std::string::npos);
  // A message of another size than a frame's is logged with its whole size, though only a
  // frame of it was read.
  const std::string big(kFrameSize, 'q');
  const Request oversize = ParseRequest(big.data(), big.size(), 65536);
  EXPECT_NE(ConsoleLine(1, time, &oversize, refused).find("\" of 65536  -> 87"), std::string::npos);
}

}  // namespace
}  // namespace velmora::devservice
