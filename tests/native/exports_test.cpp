// Each export's request as the service receives it, and the status it reports, for the edition
// this test is built for (VELMORA_EDITION).
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "export_call.h"
#include "export_cases.h"
#include "fake_pipe_system.h"
#include "system_pipes.h"
#include "velmora.h"

namespace velmora {
namespace {

using test_support::ExportCase;
using test_support::FakePipeSystem;
using test_support::Frame;
using test_support::Message;
using test_support::PipeScript;
using test_support::Script;

constexpr int kEdition = VELMORA_EDITION;

// The exports as linked here: the native build of an edition has every function, so every row
// runs in both editions.
const void* Address(const std::string& name) {
  static const std::map<std::string, const void*> exports = {
      {"StartJob", reinterpret_cast<const void*>(&StartJob)},
      {"RestartJob", reinterpret_cast<const void*>(&RestartJob)},
      {"CancelJob", reinterpret_cast<const void*>(&CancelJob)},
      {"DeleteJob", reinterpret_cast<const void*>(&DeleteJob)},
      {"ChangeJobState", reinterpret_cast<const void*>(&ChangeJobState)},
      {"StartJobOnBoot", reinterpret_cast<const void*>(&StartJobOnBoot)},
      {"SetProcessPriority", reinterpret_cast<const void*>(&SetProcessPriority)},
      {"DeleteJobFile", reinterpret_cast<const void*>(&DeleteJobFile)},
      {"DeleteJobFileByName", reinterpret_cast<const void*>(&DeleteJobFileByName)},
      {"DeleteJobProfile", reinterpret_cast<const void*>(&DeleteJobProfile)},
      {"StartMigJob", reinterpret_cast<const void*>(&StartMigJob)},
      {"StartSyncJob", reinterpret_cast<const void*>(&StartSyncJob)},
      {"RunProcAsAdmin", reinterpret_cast<const void*>(&RunProcAsAdmin)},
  };
  return exports.at(name);
}

class Exports : public ::testing::Test {
 protected:
  void Install(PipeScript script) {
    pipes_.emplace(std::move(script));
    test_support::UsePipes(&*pipes_);
  }
  void TearDown() override { test_support::UsePipes(nullptr); }
  FakePipeSystem& pipes() { return *pipes_; }

 private:
  std::optional<FakePipeSystem> pipes_;
};

TEST_F(Exports, SendTheirRequestAndReportTheStatus) {
  int row = 0;
  for (const ExportCase& c : test_support::ExportCases()) {
    const int status = 4000 + row++;  // a distinct status for every row
    Install(Script().Opens({0}).Reads({Message(Frame("0;" + std::to_string(status) + ";ok;"))}));
    const std::optional<std::int32_t> result =
        tools::CallExport(Address(c.exportName), c.Info().returnsStatus, c.numbers, c.texts);
    EXPECT_EQ(pipes().written(), Frame(c.Expected(kEdition))) << c.name;
    EXPECT_EQ(result.has_value(), c.Info().returnsStatus) << c.name;
    if (result) {
      EXPECT_EQ(*result, status) << c.name;
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
      {"service hung up", Script().Opens({0}).Reads({test_support::ReadFailure(109)}), 109},
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
  EXPECT_EQ(nVelmora, 0);  // nothing in the library touches the variable
  EXPECT_EQ(StartScheduler(), 0);
  EXPECT_TRUE(pipes().calls().empty());
  EXPECT_FALSE(pipes().threadErrorSet());
}

}  // namespace
}  // namespace velmora
