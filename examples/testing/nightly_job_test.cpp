// A host's own GoogleTest suite with velmora-devservice in place of the scheduler: each test
// gives the service its rules, calls through Velmora.dll and checks what the service received.
// No test sleeps: the rules are in force once Apply returns.
//
// The tests run in parallel, each in a process of its own, against one shared service: each
// holds a session, so its rules, jobs and journal are its own, although every test here uses
// job 5 and their rules contradict each other. With CMake:
//
//   gtest_discover_tests(nightly_job_test WORKING_DIRECTORY ${bin}
//                        PROPERTIES FIXTURES_REQUIRED devservice)
//   add_test(NAME stop_devservice COMMAND velmora-devservice ctl stop)
//   set_tests_properties(stop_devservice PROPERTIES FIXTURES_CLEANUP devservice)
//
// then `ctest -j 4`. Build it against the archive's include\ and lib\, with GoogleTest and the
// folder of velmora_devservice.hpp (testing\), and run it from bin\, beside Velmora.dll and
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
  // The service every test process shares, started by whichever comes first; and this test's
  // own session, which starts with idle jobs, no rules and an empty journal, and ends with it.
  void SetUp() override {
    if (!shared) shared = velmora_testing::DevService::Shared();
    service = shared->Session();
  }

  static std::unique_ptr<velmora_testing::DevService> shared;
  std::unique_ptr<velmora_testing::DevService> service;
};

std::unique_ptr<velmora_testing::DevService> NightlyJob::shared;

TEST_F(NightlyJob, StartsAnIdleJob) {
  EXPECT_EQ(StartNightlyJob(5), "started");
  EXPECT_TRUE(service->Verify(R"("export": "StartJob", "job": 5, "count": 1)").agrees);
}

TEST_F(NightlyJob, SaysWhenTheJobRunsAlready) {
  ASSERT_EQ(StartJob(5), 0);
  EXPECT_EQ(StartNightlyJob(5), "already running");
}

TEST_F(NightlyJob, SaysWhenTheJobDoesNotExist) {
  service->Apply(R"({"rules": [{"match": {"job": 5}, "do": "reply", "status": 1168}]})");
  EXPECT_EQ(StartNightlyJob(5), "no such job");
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
  EXPECT_EQ(StartNightlyJob(5), "started");
  const velmora_testing::VerifyResult calls =
      service->Verify(R"("export": "StartJob", "job": 5, "count": 2)");
  EXPECT_TRUE(calls.agrees) << calls.report;
}

}  // namespace
