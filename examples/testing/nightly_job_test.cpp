// A host's own GoogleTest suite with velmora-devservice in place of the scheduler: each test
// gives the service its rules, calls through Velmora.dll, checks what the service received, and
// leaves the service reset for the next test. No test sleeps: the rules are in force once
// Apply returns.
//
// Build it against the archive's include\ and lib\, with GoogleTest and the folder of
// velmora_devservice.hpp (testing\), and run it from bin\, beside Velmora.dll and
// velmora-devservice.exe.
#include <gtest/gtest.h>
#include <velmora.h>

#include <memory>
#include <string>

#include "velmora_devservice.hpp"

namespace {

// The host's code under test: starts the nightly job, once more when the first call was not
// carried out (the service was busy), and says how it went.
std::string StartNightlyJob(int job) {
  int status = StartJob(job);
  if (status == 121) status = StartJob(job);  // the service took nothing: safe to repeat
  switch (status) {
    case 0:
      return "started";
    case 5023:
      return "already running";
    case 1168:
      return "no such job";
    default:
      return "failed: " + std::to_string(status);
  }
}

class NightlyJob : public ::testing::Test {
 protected:
  // One service for the whole suite; the destructor stops it however the tests went.
  static void SetUpTestSuite() { service = std::make_unique<velmora_testing::DevService>(); }
  static void TearDownTestSuite() { service.reset(); }
  // Every test starts from idle jobs, no rules and an empty journal.
  void TearDown() override { service->Reset(); }

  static std::unique_ptr<velmora_testing::DevService> service;
};

std::unique_ptr<velmora_testing::DevService> NightlyJob::service;

TEST_F(NightlyJob, StartsAnIdleJob) {
  EXPECT_EQ(StartNightlyJob(3), "started");
  EXPECT_TRUE(service->Verify(R"("export": "StartJob", "job": 3, "count": 1)").agrees);
}

TEST_F(NightlyJob, SaysWhenTheJobRunsAlready) {
  ASSERT_EQ(StartJob(3), 0);
  EXPECT_EQ(StartNightlyJob(3), "already running");
}

TEST_F(NightlyJob, SaysWhenTheJobDoesNotExist) {
  EXPECT_EQ(StartNightlyJob(42), "no such job");  // the service has jobs 1 to 5
}

TEST_F(NightlyJob, ReportsAFailedStartWithoutRetrying) {
  service->Apply(R"({"rules": [{"match": {"job": 5}, "do": "reply", "status": 1460}]})");
  EXPECT_EQ(StartNightlyJob(5), "failed: 1460");
  EXPECT_TRUE(service->Verify(R"("export": "StartJob", "job": 5, "count": 1)").agrees);
}

TEST_F(NightlyJob, TriesOnceMoreWhenTheServiceWasBusy) {
  // What the first call returns after the library's busy wait, then the job table's answer.
  service->Apply(R"({"rules": [{"match": {"export": "StartJob"},
                                "steps": [{"times": 1, "do": "reply", "status": 121},
                                          {"do": "reply"}]}]})");
  EXPECT_EQ(StartNightlyJob(4), "started");
  const velmora_testing::VerifyResult calls =
      service->Verify(R"("export": "StartJob", "job": 4, "count": 2)");
  EXPECT_TRUE(calls.agrees) << calls.report;
}

}  // namespace
