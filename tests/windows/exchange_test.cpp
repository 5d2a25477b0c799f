// The exchange over real named pipes: missing, busy and misbehaving services, and many callers.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "library_test.h"
#include "scripted_service.h"

namespace velmora::testing {
namespace {

// The codes a read meets when the service has closed its end: Windows gives 109, Wine 109 or
// 233.
bool IsClosedPipeError(DWORD error) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
}

class Exchange : public LibraryTest {
 protected:
  int StartJob(int job) { return library_.Get<IntFromInt>("StartJob")(job); }

  // Calls StartJob(job) and returns how long it took, in milliseconds.
  ULONGLONG TimedStartJob(int job, int& result, DWORD& lastError) {
    const ULONGLONG start = GetTickCount64();
    result = StartJob(job);
    lastError = GetLastError();
    return GetTickCount64() - start;
  }
};

ServiceBehaviour ReplyingWith(const std::string& reply) {
  ServiceBehaviour behaviour;
  behaviour.reply = [reply](const std::string&) { return reply; };
  return behaviour;
}

TEST_F(Exchange, NoServiceFailsWithFileNotFoundAfterAboutTwoSeconds) {
  int result = 0;
  DWORD lastError = 0;
  const ULONGLONG elapsed = TimedStartJob(5, result, lastError);
  EXPECT_EQ(result, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_GE(elapsed, 1800u);
  EXPECT_LE(elapsed, 4000u);
}

TEST_F(Exchange, ServiceStartingWithinTheBudgetIsReached) {
  std::unique_ptr<ScriptedService> service;
  std::thread starter([&service] {
    Sleep(1300);
    service = std::make_unique<ScriptedService>(ReplyingWith(Frame("5;31;late;")));
  });
  int result = 0;
  DWORD lastError = 0;
  const ULONGLONG elapsed = TimedStartJob(5, result, lastError);
  starter.join();
  EXPECT_EQ(result, 31);
  EXPECT_EQ(lastError, 31u);
  EXPECT_GE(elapsed, 1800u);  // found on the third attempt, two seconds in
  EXPECT_EQ(service->Requests().size(), 1u);
}

TEST_F(Exchange, SingleBusyInstanceFreedAfterThreeSecondsIsWaitedFor) {
  ScriptedService service(ReplyingWith(Frame("5;44;waited;")));
  const HANDLE holder = CreateFileW(L"\\\\.\\pipe\\pipe_job", GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  std::thread release([holder] {
    Sleep(3000);
    CloseHandle(holder);
  });
  int result = 0;
  DWORD lastError = 0;
  const ULONGLONG elapsed = TimedStartJob(5, result, lastError);
  release.join();
  EXPECT_EQ(result, 44);
  EXPECT_EQ(lastError, 44u);
  EXPECT_GE(elapsed, 2500u);
  EXPECT_LE(elapsed, 5500u);
  EXPECT_EQ(service.Requests().size(), 1u);
}

TEST_F(Exchange, ReplyInSeveralMessagesIsJoined) {
  const struct {
    std::vector<std::size_t> pieces;
  } cases[] = {{{512}}, {{3, 5, 100}}, {{1, 1, 1, 1, 1, 1, 1, 1}}};
  for (const auto& c : cases) {
    ServiceBehaviour behaviour = ReplyingWith(Frame("8;21;in pieces;"));
    behaviour.pieces = c.pieces;
    ScriptedService service(behaviour);
    EXPECT_EQ(StartJob(8), 21) << c.pieces.size() << " pieces";
    EXPECT_EQ(GetLastError(), 21u);
  }
}

TEST_F(Exchange, ServiceClosingBeforeAWholeReplyFailsWithTheReadError) {
  for (std::size_t sent : {0u, 100u, 1023u}) {
    ServiceBehaviour behaviour = ReplyingWith(Frame("5;66;never whole;"));
    behaviour.hangUpAfter = sent;
    ScriptedService service(behaviour);
    const int result = StartJob(5);
    EXPECT_TRUE(IsClosedPipeError(static_cast<DWORD>(result))) << sent << " bytes: " << result;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(result)) << sent << " bytes";
  }
}

TEST_F(Exchange, OversizedReplyIsDecodedFromItsFirst1024Bytes) {
  const std::string reply = Frame("5;55;big;") + std::string(1024, 'x');
  ScriptedService service(ReplyingWith(reply));
  EXPECT_EQ(StartJob(5), 55);
  EXPECT_EQ(GetLastError(), 55u);
  // The connection is closed at once; the service is free for the next caller.
  EXPECT_EQ(StartJob(5), 55);
  EXPECT_EQ(service.Requests().size(), 2u);
}

TEST_F(Exchange, BytePipeFailsWithTheModeErrorAndSendsNothing) {
  ServiceBehaviour behaviour;
  behaviour.messagePipe = false;
  ScriptedService service(behaviour);
  const int result = StartJob(5);
  EXPECT_NE(result, 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(result));
  EXPECT_EQ(result, ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(service.Requests().empty());
}

TEST_F(Exchange, ManyThreadsEachGetTheReplyToTheirOwnRequest) {
  constexpr int kThreads = 16;
  constexpr int kCallsPerThread = 25;
  // Each caller holds at most one instance while its previous one may still be recycling, so
  // with twice as many instances one is always listening and no call meets the busy path (where
  // another caller could take the freed instance first and the call would fail with 231).
  ServiceBehaviour behaviour;
  behaviour.instances = 2 * kThreads + 1;
  behaviour.reply = [](const std::string& request) {
    const int job = RequestJob(request);
    return Frame(std::to_string(job) + ";" + std::to_string(job * 3 + 1) + ";ok;");
  };
  ScriptedService service(behaviour);
  std::vector<std::vector<int>> wrong(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &wrong] {
      for (int i = 0; i < kCallsPerThread; ++i) {
        const int job = t * 1000 + i;
        const int result = StartJob(job);
        if (result != job * 3 + 1 || GetLastError() != static_cast<DWORD>(result)) {
          wrong[t].push_back(result);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(wrong[t], std::vector<int>()) << "thread " << t;
  }
  EXPECT_EQ(service.Requests().size(), static_cast<std::size_t>(kThreads * kCallsPerThread));
  EXPECT_EQ(service.Connections(), kThreads * kCallsPerThread);
}

}  // namespace
}  // namespace velmora::testing
