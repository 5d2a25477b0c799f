// The library's own work per call, with no pipe behind it: encoding, decoding, and a whole
// StartJob against a stand-in that answers at once.
#include <benchmark/benchmark.h>

#include <cstring>

#include "job_command.h"
#include "job_frames.h"
#include "system_pipes.h"
#include "velmora.h"

namespace velmora {

namespace {

void BM_EncodeRequest(benchmark::State& state) {
  JobRequest request = {};
  request.jobId = 12345;
  request.command = static_cast<std::int32_t>(JobCommand::kStartMigJob);
  std::memcpy(request.param, "C:\\jobs\\nightly-migration.cfg", 30);
  for (auto _ : state) {
    char frame[kFrameBufferSize] = {};
    EncodeRequest(request, kFrameSize, frame);
    benchmark::DoNotOptimize(frame);
  }
}
BENCHMARK(BM_EncodeRequest);

void BM_DecodeReply(benchmark::State& state) {
  char received[kFrameBufferSize] = "12345;0;migration started;";
  for (auto _ : state) {
    JobReply reply = {};
    DecodeReply(reply, received);
    benchmark::DoNotOptimize(reply);
  }
}
BENCHMARK(BM_DecodeReply);

void BM_EncodeAndDecode(benchmark::State& state) {
  JobRequest request = {};
  request.jobId = 12345;
  request.command = static_cast<std::int32_t>(JobCommand::kStartJob);
  char received[kFrameBufferSize] = "12345;0;started;";
  for (auto _ : state) {
    char frame[kFrameBufferSize] = {};
    EncodeRequest(request, kFrameSize, frame);
    JobReply reply = {};
    DecodeReply(reply, received);
    benchmark::DoNotOptimize(frame);
    benchmark::DoNotOptimize(reply);
  }
}
BENCHMARK(BM_EncodeAndDecode);

// The whole request path: the export, SendJobCommand, the exchange, the last error.
void BM_StartJobWithInstantService(benchmark::State& state) {
  int job = 0;
  for (auto _ : state) benchmark::DoNotOptimize(StartJob(++job));
}
BENCHMARK(BM_StartJobWithInstantService);

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();
