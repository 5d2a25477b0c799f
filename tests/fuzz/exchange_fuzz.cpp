// The exchange against a pipe system whose every outcome the fuzzer chooses: opens, the busy
// wait, the mode, the write and each read (bytes, error codes, more data). The exchange always
// ends, closes every handle it opened exactly once, returns reply.status, keeps the message
// terminated and never tries more often or sleeps longer than its connect budget allows.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "exchange.h"
#include "fake_pipe_system.h"

namespace {

using velmora::test_support::FakePipeSystem;
using velmora::test_support::PipeScript;
using velmora::test_support::ReadOutcome;

// Codes the platform really gives, and any other value.
std::int32_t PickCode(FuzzedDataProvider& data, std::initializer_list<std::int32_t> usual) {
  const std::size_t choice = data.ConsumeIntegralInRange<std::size_t>(0, usual.size());
  return choice < usual.size() ? *(usual.begin() + choice) : data.ConsumeIntegral<std::int32_t>();
}

// Mostly success, so that the fuzzer reaches the read loop often.
std::int32_t PickStepResult(FuzzedDataProvider& data, std::initializer_list<std::int32_t> usual) {
  return data.ConsumeIntegralInRange<int>(0, 3) != 0 ? 0 : PickCode(data, usual);
}

PipeScript ScriptFrom(FuzzedDataProvider& data) {
  PipeScript script;
  const int opens = data.ConsumeIntegralInRange<int>(0, 6);
  for (int i = 0; i < opens; ++i) script.opens.push_back(PickCode(data, {0, 2, 231, 5, 53}));
  script.wait = PickStepResult(data, {121, 2, 231});
  script.mode = PickStepResult(data, {87, 109, 233});
  script.write = PickStepResult(data, {109, 232, 233});
  const int reads = data.ConsumeIntegralInRange<int>(0, 8);
  for (int i = 0; i < reads; ++i) {
    ReadOutcome outcome;
    if (data.ConsumeIntegralInRange<int>(0, 4) == 0) {
      outcome.error = PickCode(data, {109, 233, 234, 995, 0});
    } else {
      outcome.bytes = data.ConsumeBytesAsString(data.ConsumeIntegralInRange<std::size_t>(0, 2100));
    }
    script.reads.push_back(outcome);
  }
  return script;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  FakePipeSystem pipes(ScriptFrom(data));
  char frame[velmora::kFrameBufferSize] = {};
  std::memcpy(frame, "5;1279;;", 8);

  velmora::JobReply reply = {};
  const std::int32_t result = velmora::ExchangeWithService(reply, frame, pipes);

  if (result != reply.status) std::abort();
  if (!pipes.EveryHandleClosedOnce() || !pipes.misuse().empty()) std::abort();
  // Three attempts while the pipe is missing, or up to two misses, a busy answer and one more
  // open after the wait.
  if (pipes.opens() > 4 || pipes.sleeps() > 2) std::abort();
  int waits = 0;
  for (const auto& call : pipes.calls()) waits += call.rfind("wait", 0) == 0;
  if (waits > 1) std::abort();
  if (strnlen(reply.message, sizeof reply.message) >= velmora::kTextBound) std::abort();
  return 0;
}
