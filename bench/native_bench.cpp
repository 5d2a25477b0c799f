// The library's own work per call, with no pipe behind it: encoding, decoding, and a whole
// StartJob against a stand-in that answers at once. Also the development service's reading of a
// large rules file, which must grow with the file, not with its square.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "job_command.h"
#include "job_frames.h"
#include "rules/rules.h"
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

// A rules file of N named rules, each for its own job, read whole (start or reload).
void BM_ReadRules(benchmark::State& state) {
  std::string file = "{\"rules\": [\n";
  for (long i = 0; i < state.range(0); ++i) {
    file += std::string(i == 0 ? "" : ",\n") + "{\"name\": \"rule " + std::to_string(i) +
            "\", \"match\": {\"export\": \"StartJob\", \"job\": " + std::to_string(i) +
            "}, \"do\": \"reply\", \"status\": 5023}";
  }
  file += "\n]}";
  for (auto _ : state) {
    velmora::devservice::RuleSet rules;
    std::string error;
    if (!velmora::devservice::ReadRules(file, rules, error)) state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(rules);
  }
  state.counters["bytes"] = static_cast<double>(file.size());
}
BENCHMARK(BM_ReadRules)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
