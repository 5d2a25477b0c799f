// Many callers at once: every call gets the reply meant for its own request, the busy path
// fails cleanly when instances run short, and every handle the pipe system opens is closed.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "exchange.h"
#include "library_test.h"
#include "scripted_service.h"
#include "win32_pipe_system.h"

namespace velmora::test_support {
namespace {

constexpr int kThreads = 32;
constexpr int kCallsPerThread = 500;
constexpr int kCalls = kThreads * kCallsPerThread;

// Far from every error code the busy path can give, so no status is mistaken for one.
int StatusFor(int job) {
  return 100000 + job;
}

ServiceBehaviour AnsweringByJob(int instances) {
  ServiceBehaviour behaviour;
  behaviour.instances = instances;
  behaviour.reply = [](const std::string& request) {
    const int job = RequestJob(request);
    return Frame(std::to_string(job) + ";" + std::to_string(StatusFor(job)) + ";ok;");
  };
  return behaviour;
}

// Each caller holds at most one instance while its previous one may still be recycling, so with
// twice as many instances as callers one is always listening and no call meets the busy path.
constexpr int kEnoughInstances = 2 * kThreads + 1;

// What the calls returned, counted by kind. `foreign` holds results that are neither the
// caller's own status nor a busy-path code.
struct Tally {
  std::atomic<int> own{0};
  std::atomic<int> busy{0};      // 231: another caller took the freed instance first
  std::atomic<int> timedOut{0};  // 121: no instance was freed within the wait
  std::atomic<int> lastErrorDiffers{0};
  std::mutex mutex;
  std::vector<int> foreign;

  void Count(int job, int result, DWORD lastError) {
    if (lastError != static_cast<DWORD>(result)) ++lastErrorDiffers;
    if (result == StatusFor(job)) {
      ++own;
    } else if (result == ERROR_PIPE_BUSY) {
      ++busy;
    } else if (result == ERROR_SEM_TIMEOUT) {
      ++timedOut;
    } else {
      std::lock_guard<std::mutex> lock(mutex);
      foreign.push_back(result);
    }
  }
};

// Runs kThreads threads of kCallsPerThread calls, each with its own job numbers.
template <typename Call>
void RunCallers(Call call) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &call] {
      for (int i = 0; i < kCallsPerThread; ++i) call(t * kCallsPerThread + i);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

class Load : public LibraryTest {};

TEST_F(Load, WithEnoughInstancesEveryCallGetsItsOwnReply) {
  const auto startJob = library_.Get<IntFromInt>("StartJob");
  Tally tally;
  ScriptedService service(AnsweringByJob(kEnoughInstances));
  RunCallers([&](int job) {
    const int result = startJob(job);
    tally.Count(job, result, GetLastError());
  });
  EXPECT_EQ(tally.own, kCalls);
  EXPECT_EQ(tally.foreign, std::vector<int>());
  EXPECT_EQ(tally.lastErrorDiffers, 0);
  EXPECT_EQ(service.Connections(), kCalls);
  // Each job number arrived exactly once.
  std::map<int, int> seen;
  for (const std::string& request : service.Requests()) ++seen[RequestJob(request)];
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kCalls));
  for (const auto& [job, times] : seen) ASSERT_EQ(times, 1) << "job " << job;
}

TEST_F(Load, WithFourInstancesCallsSucceedOrMeetTheBusyPath) {
  const auto startJob = library_.Get<IntFromInt>("StartJob");
  Tally tally;
  ScriptedService service(AnsweringByJob(4));
  RunCallers([&](int job) {
    const int result = startJob(job);
    tally.Count(job, result, GetLastError());
  });
  EXPECT_EQ(tally.foreign, std::vector<int>());
  EXPECT_EQ(tally.lastErrorDiffers, 0);
  EXPECT_EQ(tally.own + tally.busy + tally.timedOut, kCalls);
  EXPECT_GT(tally.own, 0);
  // Only the calls that got through reached the service, each once.
  EXPECT_EQ(service.Connections(), tally.own);
  EXPECT_EQ(service.Requests().size(), static_cast<std::size_t>(tally.own));
  std::printf("[ counts   ] own %d, busy (231) %d, timed out (121) %d of %d calls\n",
              tally.own.load(), tally.busy.load(), tally.timedOut.load(), kCalls);
}

// Runs the exchange itself, through the platform's pipe system, for `calls` calls per thread.
template <typename Check>
void RunExchanges(PipeSystem& pipes, int callsPerThread, Check check) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, callsPerThread, &pipes, &check] {
      for (int i = 0; i < callsPerThread; ++i) {
        const int job = t * callsPerThread + i;
        char frame[kFrameBufferSize] = {};
        std::snprintf(frame, sizeof frame, "%d;1279;;", job);
        JobReply reply = {};
        const int result = ExchangeWithService(reply, frame, pipes);
        check(job, result);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

// Thousands of calls that succeed, meet the busy path, break off or find no service leave the
// process with no more handles than before: the exchange closes every pipe it opens.
TEST(LoadSoak, EveryHandleThePipeSystemOpensIsClosed) {
  Win32PipeSystem pipes;
  DWORD handlesBefore = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handlesBefore));
  Tally tally;
  {
    // Successes and the busy path.
    ScriptedService service(AnsweringByJob(4));
    RunExchanges(pipes, kCallsPerThread, [&](int job, int result) {
      tally.Count(job, result, static_cast<DWORD>(result));
    });
  }
  EXPECT_EQ(tally.foreign, std::vector<int>());
  EXPECT_EQ(tally.own + tally.busy + tally.timedOut, kCalls);

  // Read failures: the service hangs up after part of its reply.
  std::atomic<int> brokenOff{0};
  {
    ServiceBehaviour behaviour = AnsweringByJob(kEnoughInstances);
    behaviour.rules = R"({"rules": [{"do": "partial", "bytes": 100}]})";
    ScriptedService service(behaviour);
    RunExchanges(pipes, 50, [&](int, int result) {
      brokenOff += result == ERROR_BROKEN_PIPE || result == ERROR_PIPE_NOT_CONNECTED;
    });
  }
  EXPECT_EQ(brokenOff, kThreads * 50);

  // Open failures: no service at all.
  std::atomic<int> notFound{0};
  RunExchanges(pipes, 1, [&](int, int result) { notFound += result == ERROR_FILE_NOT_FOUND; });
  EXPECT_EQ(notFound, kThreads);

  DWORD handlesAfter = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handlesAfter));
  // A little room for what the runtime keeps; a leak per call would be thousands.
  EXPECT_LE(handlesAfter, handlesBefore + 16) << tally.own << " calls succeeded";
}

}  // namespace
}  // namespace velmora::test_support
