// The archive README's table of the job table's transitions, made here from the job table itself:
// a changed rule in job_table.cpp fails this test until the README says the same.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "frames/job_table.h"

namespace velmora::devservice {
namespace {

Request Asking(JobCommand command, std::int32_t job, const std::string& param = "") {
  Request request;
  request.wellFormed = true;
  request.jobId = job;
  request.command = static_cast<std::int32_t>(command);
  request.param = param;
  return request;
}

// Brings job 1 of `table`, idle, into `state` by the commands that do so.
void BringTo(JobTable& table, const char* state) {
  const std::string name = state;
  if (name == "running" || name == "cancelled") table.Execute(Asking(JobCommand::kStartJob, 1));
  if (name == "cancelled") table.Execute(Asking(JobCommand::kCancelJob, 1));
  if (name == "disabled") table.Execute(Asking(JobCommand::kChangeJobState, 1, "false"));
  if (name == "no such job") table.Execute(Asking(JobCommand::kDeleteJob, 1));
}

std::string TransitionTable() {
  const char* states[] = {"idle", "running", "cancelled", "disabled", "no such job"};
  const struct {
    const char* call;
    JobCommand command;
    const char* param;
  } calls[] = {
      {"`StartJob`", JobCommand::kStartJob, ""},
      {"`RestartJob`", JobCommand::kRestartJob, ""},
      {"`CancelJob`", JobCommand::kCancelJob, ""},
      {"`DeleteJob`", JobCommand::kDeleteJob, ""},
      {"`ChangeJobState(job, 1)`", JobCommand::kChangeJobState, "true"},
      {"`ChangeJobState(job, 0)`", JobCommand::kChangeJobState, "false"},
      {"`StartMigJob`", JobCommand::kStartMigJob, "x"},
      {"`StartSyncJob`", JobCommand::kStartSyncJob, "a|b"},
  };
  std::string table =
      "| call | idle | running | cancelled | disabled | no such job |\n"
      "|---|---|---|---|---|---|\n";
  for (const auto& call : calls) {
    table += "| " + std::string(call.call) + " |";
    for (const char* state : states) {
      JobTable jobs(1);
      BringTo(jobs, state);
      const Outcome outcome = jobs.Execute(Asking(call.command, 1, call.param));
      const std::optional<Job> after = jobs.Find(1);
      const std::string now = after ? StateName(after->state) : "no such job";
      table += " " + std::to_string(outcome.status) + (now != state ? ", " + now : "") + " |";
    }
    table += "\n";
  }
  return table;
}

TEST(DevServiceStatuses, TheArchiveReadmeHoldsTheJobTablesTransitions) {
  std::ifstream readme(VELMORA_ARCHIVE_README);
  std::stringstream text;
  text << readme.rdbuf();
  const std::string table = TransitionTable();
  EXPECT_NE(text.str().find(table), std::string::npos)
      << VELMORA_ARCHIVE_README << " lacks the job table as it is:\n"
      << table;
}

}  // namespace
}  // namespace velmora::devservice
