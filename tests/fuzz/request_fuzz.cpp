// Every export of this edition with any texts (0 to 4096 bytes, or none) and any integers: the
// frame written is always 1024 bytes, terminated, and exactly the request the export stands
// for, cut where the edition cuts it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "job_frames.h"
#include "system_pipes.h"
#include "velmora.h"

namespace {

using velmora::kFrameSize;
using velmora::kTextBound;  // a caller's text keeps 259 bytes
[[maybe_unused]] constexpr std::size_t kParamLimit = velmora::kParamSize - 1;
constexpr std::size_t kRequestTextLimit = VELMORA_EDITION == 2 ? 259 : 1023;

std::string Cut(const std::string& text, std::size_t limit) {
  return text.substr(0, std::min(text.size(), limit));
}

// A caller's text as the export receives it: stops at its first zero byte, or is absent.
struct Text {
  std::string bytes;
  bool present;
  const char* get() const { return present ? bytes.c_str() : nullptr; }
};

Text TakeText(FuzzedDataProvider& data) {
  const bool present = data.ConsumeIntegralInRange<int>(0, 15) != 0;
  std::string bytes = data.ConsumeRandomLengthString(4096);
  bytes = bytes.substr(0, std::strlen(bytes.c_str()));
  return {bytes, present};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  velmora::test_support::InstantPipeSystem& pipes = velmora::test_support::InstantPipes();
  FuzzedDataProvider data(bytes, size);
  const int which = data.ConsumeIntegralInRange<int>(0, VELMORA_EDITION == 2 ? 10 : 13);
  const int job = data.ConsumeIntegral<int>();
  const int number = data.ConsumeIntegral<int>();
  const Text first = TakeText(data);
  const Text second = TakeText(data);

  pipes.writes = 0;
  std::memset(pipes.written, 0x55, sizeof pipes.written);

  int sentJob = job;
  int code = 0;
  std::string param;
  bool needsText = false;
  bool textsPresent = first.present;
  switch (which) {
    case 0:
      StartScheduler();
      break;  // sends nothing (StopScheduler is the same body)
    case 1:
      StartJob(job);
      code = 1279;
      break;
    case 2:
      RestartJob(job);
      code = 1280;
      break;
    case 3:
      CancelJob(job);
      code = 1281;
      break;
    case 4:
      DeleteJob(job);
      code = 1282;
      break;
    case 5:
      ChangeJobState(job, number);
      code = 1283;
      param = number != 0 ? "true" : "false";
      break;
    case 6:
      StartJobOnBoot();
      sentJob = -1;
      code = 1284;
      break;
    case 7:
      SetProcessPriority(number);
      sentJob = number;
      code = 1285;
      break;
    case 8:
      DeleteJobFile(job);
      code = 1286;
      break;
    case 9:
      DeleteJobProfile(job);
      code = 1287;
      break;
    case 10:
      DeleteJobFileByName(first.get());
      sentJob = -1;
      code = 1286;
      needsText = true;
      param = Cut(first.bytes, kTextBound - 1);
      break;
#if VELMORA_EDITION == 3
    case 11:
      StartMigJob(job, first.get());
      code = 1289;
      needsText = true;
      param = Cut(first.bytes, kTextBound - 1);
      break;
    case 12:
      StartSyncJob(job, first.get(), second.get());
      code = 1290;
      needsText = true;
      textsPresent = first.present && second.present;
      param = Cut(first.bytes + "|" + second.bytes, kParamLimit);
      break;
    case 13:
      RunProcAsAdmin(first.get());
      sentJob = -1;
      code = 1291;
      needsText = true;
      param = Cut(first.bytes, kTextBound - 1);
      break;
#endif
  }

  const bool sends = code != 0 && (!needsText || textsPresent);
  if (!sends) {
    if (pipes.writes != 0) std::abort();
    return 0;
  }
  if (pipes.writes != 1 || pipes.writtenSize != kFrameSize) std::abort();
  const std::size_t textLength = strnlen(pipes.written, kFrameSize);
  if (textLength > kRequestTextLimit) std::abort();  // at least one terminating zero byte
  for (std::size_t i = textLength; i < kFrameSize; ++i) {
    if (pipes.written[i] != '\0') std::abort();
  }
  const std::string expected = Cut(
      std::to_string(sentJob) + ";" + std::to_string(code) + ";" + param + ";", kRequestTextLimit);
  if (std::string(pipes.written, textLength) != expected) std::abort();
  // Without ";" in the texts the first two fields read back as the job and the command.
  if (param.find(';') == std::string::npos) {
    velmora::JobReply decoded = {};
    velmora::DecodeReply(decoded, pipes.written);
    if (decoded.jobId != sentJob || decoded.status != code) std::abort();
  }
  return 0;
}
