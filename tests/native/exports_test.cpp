// Each export's request as the service receives it, and the status it reports, for the edition
// this test is built for (VELMORA_EDITION).
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fake_pipe_system.h"
#include "velmora.h"

namespace velmora {

static testing::FakePipeSystem* gPipes = nullptr;

// The exports reach the platform through this; here it is the test's scripted fake.
PipeSystem& SystemPipes() {
  return *gPipes;
}

namespace {

using testing::FakePipeSystem;
using testing::Frame;
using testing::Message;
using testing::PipeScript;
using testing::Script;

constexpr int kEdition = VELMORA_EDITION;
constexpr int kNoResult = -999;  // what a row's call gives for an export that returns nothing

const std::string k300(300, 'n');
const std::string k259(259, 'n');
const std::string kLongFirst(400, 'a');
const std::string kLongSecond(400, 'b');
// A caller's text of exactly 259 bytes that ends where its memory ends: no byte after it may be
// read (the sanitizer reports any read past the block).
const char* Unterminated259() {
  static const std::vector<char> text(259, 'u');
  return text.data();
}
const std::string kU259(259, 'u');

struct ExportCase {
  const char* name;
  std::function<int()> call;
  std::string text;          // the request text the service receives
  std::string edition2Text;  // when edition 2 sends something else
};

const std::vector<ExportCase>& Cases() {
  static const std::vector<ExportCase> cases = {
      {"StartJob(5)", [] { return StartJob(5); }, "5;1279;;", ""},
      {"StartJob(-7)", [] { return StartJob(-7); }, "-7;1279;;", ""},
      {"RestartJob(6)", [] { return RestartJob(6); }, "6;1280;;", ""},
      {"CancelJob(0)", [] { return CancelJob(0); }, "0;1281;;", ""},
      {"DeleteJob(2147483647)", [] { return DeleteJob(2147483647); }, "2147483647;1282;;", ""},
      {"ChangeJobState(7, 2)", [] { return ChangeJobState(7, 2); }, "7;1283;true;", ""},
      {"ChangeJobState(7, -1)", [] { return ChangeJobState(7, -1); }, "7;1283;true;", ""},
      {"ChangeJobState(7, 0)", [] { return ChangeJobState(7, 0); }, "7;1283;false;", ""},
      {"StartJobOnBoot()", [] { return StartJobOnBoot(), kNoResult; }, "-1;1284;;", ""},
      {"SetProcessPriority(2)", [] { return SetProcessPriority(2), kNoResult; }, "2;1285;;", ""},
      {"SetProcessPriority(-15)", [] { return SetProcessPriority(-15), kNoResult; }, "-15;1285;;",
       ""},
      {"DeleteJobFile(9)", [] { return DeleteJobFile(9); }, "9;1286;;", ""},
      {"DeleteJobFileByName(name)", [] { return DeleteJobFileByName("C:\\jobs\\a b;c.txt"); },
       "-1;1286;C:\\jobs\\a b;c.txt;", ""},
      {"DeleteJobFileByName(empty)", [] { return DeleteJobFileByName(""); }, "-1;1286;;", ""},
      {"DeleteJobFileByName(300 bytes)", [] { return DeleteJobFileByName(k300.c_str()); },
       "-1;1286;" + k259 + ";", "-1;1286;" + k259.substr(0, 251)},
      {"DeleteJobFileByName(259 bytes)", [] { return DeleteJobFileByName(k259.c_str()); },
       "-1;1286;" + k259 + ";", "-1;1286;" + k259.substr(0, 251)},
      {"DeleteJobFileByName(259 bytes, unterminated)",
       [] { return DeleteJobFileByName(Unterminated259()); }, "-1;1286;" + kU259 + ";",
       "-1;1286;" + kU259.substr(0, 251)},
      {"DeleteJobProfile(4)", [] { return DeleteJobProfile(4); }, "4;1287;;", ""},
      {"StartMigJob(7, 259 bytes, unterminated)", [] { return StartMigJob(7, Unterminated259()); },
       "7;1289;" + kU259 + ";", "7;1289;" + kU259.substr(0, 252)},
      {"RunProcAsAdmin(259 bytes, unterminated)", [] { return RunProcAsAdmin(Unterminated259()); },
       "-1;1291;" + kU259 + ";", "-1;1291;" + kU259.substr(0, 251)},
      {"StartMigJob(7, text)", [] { return StartMigJob(7, "from|to;x"); }, "7;1289;from|to;x;", ""},
      {"StartMigJob(7, 300 bytes)", [] { return StartMigJob(7, k300.c_str()); },
       "7;1289;" + k259 + ";", "7;1289;" + k259.substr(0, 252)},
      {"StartSyncJob(3, a, b)", [] { return StartSyncJob(3, "a", "b"); }, "3;1290;a|b;", ""},
      {"StartSyncJob(3, empty, empty)", [] { return StartSyncJob(3, "", ""); }, "3;1290;|;", ""},
      {"StartSyncJob(3, 400, 400) cut to the field",
       [] { return StartSyncJob(3, kLongFirst.c_str(), kLongSecond.c_str()); },
       "3;1290;" + kLongFirst + "|" + std::string(122, 'b') + ";",
       "3;1290;" + std::string(252, 'a')},
      {"RunProcAsAdmin(cmd)", [] { return RunProcAsAdmin("cmd.exe /c \"dir\""); },
       "-1;1291;cmd.exe /c \"dir\";", ""},
      {"RunProcAsAdmin(300 bytes)", [] { return RunProcAsAdmin(k300.c_str()); },
       "-1;1291;" + k259 + ";", "-1;1291;" + k259.substr(0, 251)},
  };
  return cases;
}

class Exports : public ::testing::Test {
 protected:
  void Install(PipeScript script) {
    pipes_.emplace(std::move(script));
    gPipes = &*pipes_;
  }
  void TearDown() override { gPipes = nullptr; }
  FakePipeSystem& pipes() { return *pipes_; }

 private:
  std::optional<FakePipeSystem> pipes_;
};

TEST_F(Exports, SendTheirRequestAndReportTheStatus) {
  int row = 0;
  for (const ExportCase& c : Cases()) {
    const int status = 4000 + row++;  // a distinct status for every row
    Install(Script().Opens({0}).Reads({Message(Frame("0;" + std::to_string(status) + ";ok;"))}));
    const int result = c.call();
    const std::string& text = kEdition == 2 && !c.edition2Text.empty() ? c.edition2Text : c.text;
    EXPECT_EQ(pipes().written(), Frame(text)) << c.name;
    if (result != kNoResult) {
      EXPECT_EQ(result, status) << c.name;
    }
    EXPECT_TRUE(pipes().threadErrorSet()) << c.name;
    EXPECT_EQ(pipes().threadError(), status) << c.name;
    EXPECT_TRUE(pipes().EveryHandleClosedOnce()) << c.name;
  }
}

TEST_F(Exports, ReportTransportFailuresAsTheirCode) {
  const struct {
    const char* name;
    PipeScript script;
    int status;
  } failures[] = {
      {"no service", Script().Opens({2, 2, 2}), 2},
      {"busy throughout", Script().Opens({231}).Wait(121), 121},
      {"mode refused", Script().Opens({0}).Mode(87), 87},
      {"service hung up", Script().Opens({0}).Reads({testing::ReadFailure(109)}), 109},
  };
  for (const auto& f : failures) {
    Install(f.script);
    EXPECT_EQ(DeleteJob(1), f.status) << f.name;
    EXPECT_EQ(pipes().threadError(), f.status) << f.name;
    Install(f.script);
    StartJobOnBoot();
    EXPECT_EQ(pipes().threadError(), f.status) << f.name;
  }
}

TEST_F(Exports, NullTextsSendNothingAndReportInvalidParameter) {
  const std::function<int()> calls[] = {
      [] { return DeleteJobFileByName(nullptr); },  [] { return StartMigJob(1, nullptr); },
      [] { return StartSyncJob(1, nullptr, "b"); }, [] { return StartSyncJob(1, "a", nullptr); },
      [] { return RunProcAsAdmin(nullptr); },
  };
  for (const auto& call : calls) {
    Install(Script().Opens({0}).Reads({Message(Frame("0;0;ok;"))}));
    EXPECT_EQ(call(), 87);
    EXPECT_EQ(pipes().threadError(), 87);
    EXPECT_TRUE(pipes().calls().empty());
  }
}

TEST_F(Exports, StartSchedulerContactsNobodyAndLeavesTheLastError) {
  Install({});
  EXPECT_EQ(StartScheduler(), 0);
  EXPECT_TRUE(pipes().calls().empty());
  EXPECT_FALSE(pipes().threadErrorSet());
}

TEST_F(Exports, NVelmoraIsZeroAtLoad) {
  EXPECT_EQ(nVelmora, 0);
}

}  // namespace
}  // namespace velmora
