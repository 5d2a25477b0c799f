// The exported functions: each fills one request and hands it to SendJobCommand.
#include "../transport/bounded_text.h"
#include "job_command.h"
#include "send_job_command.h"
#include "velmora.h"

using velmora::JobCommand;
using velmora::JobRequest;

namespace {

JobRequest MakeRequest(std::int32_t jobId, JobCommand command) {
  JobRequest request{};
  request.jobId = jobId;
  request.command = static_cast<std::int32_t>(command);
  return request;
}

int Send(std::int32_t jobId, JobCommand command) {
  return velmora::SendJobCommand(MakeRequest(jobId, command));
}

// A caller's text is cut to 259 bytes, well inside the param field.
int SendWithText(std::int32_t jobId, JobCommand command, const char* text) {
  if (text == nullptr) return velmora::ReportStatus(velmora::kErrorInvalidParameter);
  JobRequest request = MakeRequest(jobId, command);
  velmora::CopyBounded(request.param, velmora::kTextBound, text);
  return velmora::SendJobCommand(request);
}

}  // namespace

extern "C" {

int nVelmora = 0;

// Exported under two names, StartScheduler and StopScheduler.
int VELMORA_CALL StartScheduler(void) {
  return 0;
}

int VELMORA_CALL StartJob(int job) {
  return Send(job, JobCommand::kStartJob);
}
int VELMORA_CALL RestartJob(int job) {
  return Send(job, JobCommand::kRestartJob);
}
int VELMORA_CALL CancelJob(int job) {
  return Send(job, JobCommand::kCancelJob);
}
int VELMORA_CALL DeleteJob(int job) {
  return Send(job, JobCommand::kDeleteJob);
}

int VELMORA_CALL ChangeJobState(int job, int state) {
  return SendWithText(job, JobCommand::kChangeJobState, state != 0 ? "true" : "false");
}

void VELMORA_CALL StartJobOnBoot(void) {
  Send(velmora::kNoJob, JobCommand::kStartJobOnBoot);
}
void VELMORA_CALL SetProcessPriority(int priority) {
  Send(priority, JobCommand::kSetProcessPriority);
}

int VELMORA_CALL DeleteJobFile(int job) {
  return Send(job, JobCommand::kDeleteJobFile);
}
int VELMORA_CALL DeleteJobFileByName(const char* name) {
  return SendWithText(velmora::kNoJob, JobCommand::kDeleteJobFile, name);
}
int VELMORA_CALL DeleteJobProfile(int job) {
  return Send(job, JobCommand::kDeleteJobProfile);
}

int VELMORA_CALL StartMigJob(int job, const char* parameter) {
  return SendWithText(job, JobCommand::kStartMigJob, parameter);
}

// The two texts travel joined by "|", unescaped, cut to what the param field holds.
int VELMORA_CALL StartSyncJob(int job, const char* first, const char* second) {
  if (first == nullptr || second == nullptr) {
    return velmora::ReportStatus(velmora::kErrorInvalidParameter);
  }
  JobRequest request = MakeRequest(job, JobCommand::kStartSyncJob);
  // A joined text longer than the field is cut, not refused, so the length is of no use here.
  (void)velmora::FormatBounded(request.param, sizeof request.param, "%s|%s", first, second);
  return velmora::SendJobCommand(request);
}

int VELMORA_CALL RunProcAsAdmin(const char* commandLine) {
  return SendWithText(velmora::kNoJob, JobCommand::kRunProcAsAdmin, commandLine);
}

}  // extern "C"
