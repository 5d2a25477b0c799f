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

// Hosts bind the variable by the name Visual C++ gives a global "int nVelmora". On Windows the
// symbol itself carries that name, so the PDB and a debugger show it as the export table does.
#if defined(_WIN32)
int nVelmora asm("?nVelmora@@3HA") = 0;
#else
int nVelmora = 0;
#endif

// One function under two names; each name is a symbol of its own, so both show in the PDB.
int VELMORA_CALL StartScheduler(void) {
  return 0;
}
int VELMORA_CALL StopScheduler(void) __attribute__((alias("StartScheduler")));

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
