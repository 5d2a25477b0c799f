// velmora-devservice as a separate process: fed frames no library would send, it answers each
// malformed one (or one of another size than a frame) with status 87 and goes on serving;
// clients that hold instances idle, or keep sending, cannot starve it; callers arriving
// together find instances listening; its log follows its job table; a request limit is exact
// and cuts no caller off; a console nobody reads holds no caller; another server on the pipe
// is refused.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\pipe_job";
constexpr DWORD kFrameSize = 1024;

// The development service, started for one test (with extra options) and ended with it.
class DevServiceProcess {
 public:
  // With `output`, an inheritable handle, the service's stdout and stderr go there.
  explicit DevServiceProcess(const std::wstring& options = L"--instances 2",
                             HANDLE output = nullptr) {
    std::wstring command = L"\"" VELMORA_DEVSERVICE_EXE L"\" " + options;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (output != nullptr) {
      startup.dwFlags = STARTF_USESTDHANDLES;
      startup.hStdOutput = startup.hStdError = output;
    }
    started_ = CreateProcessW(nullptr, command.data(), nullptr, nullptr, output != nullptr, 0,
                              nullptr, nullptr, &startup, &process_);
    // The pipe exists once the service is ready.
    for (int i = 0; started_ && running() && i < 200 && !WaitNamedPipeW(kPipeName, 0); ++i) {
      Sleep(50);
    }
  }
  ~DevServiceProcess() {
    if (!started_) return;
    TerminateProcess(process_.hProcess, 0);
    WaitForSingleObject(process_.hProcess, 10000);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  bool started() const { return started_ != FALSE; }
  // Stops the service as a test suite does, over its control pipe: it then writes out its
  // journal before it exits, which TerminateProcess would cut short.
  bool StopOverTheControlPipe() {
    const HANDLE control =
        CreateFileW(L"\\\\.\\pipe\\velmora-devservice", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (control == INVALID_HANDLE_VALUE) return false;
    const char line[] = "{\"op\":\"stop\"}\n";
    char answer[64] = {};
    DWORD count = 0;
    const bool answered = WriteFile(control, line, sizeof line - 1, &count, nullptr) &&
                          ReadFile(control, answer, sizeof answer - 1, &count, nullptr) &&
                          std::string(answer, count) == "{\"ok\":true}\n";
    CloseHandle(control);
    return answered && ExitCode(10000) == 0;
  }
  bool running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }
  // The exit code once the process has ended within `ms`, or -1.
  long ExitCode(DWORD ms) const {
    DWORD code = 0;
    if (WaitForSingleObject(process_.hProcess, ms) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process_.hProcess, &code)) {
      return -1;
    }
    return static_cast<long>(code);
  }

 private:
  PROCESS_INFORMATION process_{};
  BOOL started_ = FALSE;
};

HANDLE OpenPipe() {
  return CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

// True once the service has closed its end of the connection.
bool Disconnected(HANDLE pipe) {
  DWORD available = 0;
  return !PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr);
}

// Waits up to `ms` for every connection to be closed by the service; returns how many were.
std::size_t AwaitDisconnected(const std::vector<HANDLE>& pipes, DWORD ms) {
  const ULONGLONG deadline = GetTickCount64() + ms;
  std::size_t closed = 0;
  do {
    closed = 0;
    for (HANDLE pipe : pipes) closed += Disconnected(pipe);
    if (closed == pipes.size()) break;
    Sleep(50);
  } while (GetTickCount64() < deadline);
  return closed;
}

// Sends `message` as one message and returns the reply text ("" if none came). With `keepOpen`
// the connection stays open and is handed back there instead of being closed; `connected`
// tells whether the service let the client in at all.
std::string Exchange(const std::string& message, HANDLE* keepOpen = nullptr,
                     bool* connected = nullptr) {
  HANDLE pipe = OpenPipe();
  // Every instance may still be closing the previous connections: wait for one, as callers do.
  if (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY &&
      WaitNamedPipeW(kPipeName, 5000)) {
    pipe = OpenPipe();
  }
  if (connected != nullptr) *connected = pipe != INVALID_HANDLE_VALUE;
  if (pipe == INVALID_HANDLE_VALUE) return "";
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
  DWORD count = 0;
  WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), &count, nullptr);
  char reply[kFrameSize + 1] = {};
  DWORD received = 0;
  while (received < kFrameSize) {
    if (!ReadFile(pipe, reply + received, kFrameSize - received, &count, nullptr) &&
        GetLastError() != ERROR_MORE_DATA) {
      break;
    }
    received += count;
  }
  if (keepOpen != nullptr) {
    *keepOpen = pipe;
  } else {
    CloseHandle(pipe);
  }
  return received == kFrameSize ? std::string(reply) : "";
}

std::string Padded(const std::string& text) {
  std::string frame = text;
  frame.resize(kFrameSize, '\0');
  return frame;
}

TEST(DevServiceProcess, AnswersMalformedFramesWith87AndKeepsServing) {
  DevServiceProcess service;
  ASSERT_TRUE(service.started());
  const struct {
    const char* name;
    std::string message;
    const char* reply;  // the start of the reply text
  } rows[] = {
      {"well formed", Padded("1;1279;;"), "1;0;started;"},
      {"all zero", Padded(""), "0;87;malformed"},
      {"garbage", Padded("\x01\x02\xff garbage"), "0;87;malformed"},
      {"no terminator", std::string(kFrameSize, 'x'), "0;87;malformed"},
      {"bad job number", Padded("five;1279;;"), "0;87;malformed"},
      {"unknown command", Padded("1;1288;;"), "1;87;unknown command;"},
      {"short message", "2;1279;;", "0;87;malformed"},
      {"a byte short", Padded("2;1279;;").substr(0, kFrameSize - 1), "0;87;malformed"},
      {"longer than a frame", Padded("3;1279;;") + std::string(kFrameSize, 'y'), "0;87;malformed"},
      {"64 KiB", Padded("3;1279;;") + std::string(64512, 'y'), "0;87;malformed"},
      {"edition 2 cut", Padded("-1;1286;" + std::string(251, 'n')), "-1;0;recorded"},
      {"well formed afterwards", Padded("1;1281;;"), "1;0;cancelled;"},
  };
  for (const auto& row : rows) {
    const std::string reply = Exchange(row.message);
    EXPECT_EQ(reply.rfind(row.reply, 0), 0u) << row.name << ": got \"" << reply << "\"";
    ASSERT_TRUE(service.running()) << "stopped after: " << row.name;
  }
}

TEST(DevServiceProcess, IdleClientsCannotStarveIt) {
  DevServiceProcess service(L"");  // instances added as needed, clients given 3 s
  ASSERT_TRUE(service.started());
  // Each idle client takes an instance as soon as one listens, as an attacker would.
  std::vector<HANDLE> idle;
  const ULONGLONG attackEnd = GetTickCount64() + 2000;
  while (idle.size() < 140 && GetTickCount64() < attackEnd) {
    const HANDLE pipe = OpenPipe();
    if (pipe != INVALID_HANDLE_VALUE) {
      idle.push_back(pipe);
    } else if (GetLastError() == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(kPipeName, 100);
    }
  }
  EXPECT_EQ(idle.size(), 140u) << "idle clients that got an instance";
  // A real caller gets through within the library's waits (about 2 s, then 5 s).
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(Exchange(Padded("1;1279;;")).rfind("1;0;started;", 0), 0u);
  const ULONGLONG callMs = GetTickCount64() - start;
  EXPECT_LT(callMs, 7000u);
  // The idle ones are disconnected after the client time limit, freeing their instances.
  EXPECT_EQ(AwaitDisconnected(idle, 8000), idle.size());
  std::printf(
      "[ idle     ] %zu idle clients held; a real call took %llu ms; all disconnected "
      "%llu ms after the attack began\n",
      idle.size(), callMs, GetTickCount64() - (attackEnd - 2000));
  for (HANDLE pipe : idle) CloseHandle(pipe);
  EXPECT_EQ(Exchange(Padded("1;1281;;")).rfind("1;0;cancelled;", 0), 0u);
}

TEST(DevServiceProcess, AClientHoldingAFinishedConnectionIsDisconnected) {
  DevServiceProcess service(L"--single --client-timeout 500");
  ASSERT_TRUE(service.started());
  HANDLE held = INVALID_HANDLE_VALUE;
  ASSERT_EQ(Exchange(Padded("1;1279;;"), &held).rfind("1;0;started;", 0), 0u);
  EXPECT_EQ(AwaitDisconnected({held}, 3000), 1u);
  CloseHandle(held);
  // The single instance serves the next caller.
  EXPECT_EQ(Exchange(Padded("1;1281;;")).rfind("1;0;cancelled;", 0), 0u);
}

TEST(DevServiceProcess, ClientsThatNeverReadAPartialReplyHoldNoWorker) {
  // A partial reply ends in a hang-up, which first waits for the client to read what was
  // written, but never past the connection's deadline: more such clients than the server has
  // workers leave it serving.
  DevServiceProcess service(L"--fault partial:100 --client-timeout 1000");
  ASSERT_TRUE(service.started());
  const std::string request = Padded("1;1279;;");
  std::vector<HANDLE> unread;
  for (int i = 0; i < 6; ++i) {
    const HANDLE pipe = OpenPipe();
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &written, nullptr);
    unread.push_back(pipe);
  }
  EXPECT_EQ(AwaitDisconnected(unread, 8000), unread.size());
  for (HANDLE pipe : unread) CloseHandle(pipe);
  const HANDLE pipe = OpenPipe();
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  DWORD count = 0;
  WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &count, nullptr);
  char reply[kFrameSize] = {};
  EXPECT_TRUE(ReadFile(pipe, reply, sizeof reply, &count, nullptr));
  EXPECT_EQ(count, 100u);
  CloseHandle(pipe);
}

TEST(DevServiceProcess, CallersArrivingTogetherFindListeningInstances) {
  const char* override = std::getenv("VELMORA_RACE_CALLERS");
  const int callers = override != nullptr ? std::atoi(override) : 16;
  DevServiceProcess service(L"");
  ASSERT_TRUE(service.started());
  std::atomic<int> busy{0};
  std::atomic<int> served{0};
  for (int round = 0; round < 5; ++round) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < callers; ++i) {
      threads.emplace_back([&] {
        ++ready;
        while (ready < callers) std::this_thread::yield();
        const HANDLE pipe = OpenPipe();
        if (pipe == INVALID_HANDLE_VALUE) {
          busy += GetLastError() == ERROR_PIPE_BUSY;
          return;
        }
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
        char frame[kFrameSize] = "-1;1284;;";
        DWORD count = 0;
        char reply[kFrameSize] = {};
        if (WriteFile(pipe, frame, kFrameSize, &count, nullptr) &&
            ReadFile(pipe, reply, kFrameSize, &count, nullptr)) {
          ++served;
        }
        CloseHandle(pipe);
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  std::printf("[ race     ] %d callers x 5 rounds: %d served, %d busy\n", callers, served.load(),
              busy.load());
  EXPECT_EQ(busy, 0);
  EXPECT_EQ(served, callers * 5);
}

// Many callers start and cancel job 1 at once. Replaying the log in its own order must give
// every status it shows: a log written in another order than the table changed would not.
TEST(DevServiceProcess, TheLogFollowsTheTable) {
  char directory[MAX_PATH];
  ASSERT_GT(GetTempPathA(MAX_PATH, directory), 0u);
  const std::string log = std::string(directory) + "velmora-order-test.jsonl";
  DeleteFileA(log.c_str());
  {
    DevServiceProcess service(L"--log \"" + std::wstring(log.begin(), log.end()) + L"\"");
    ASSERT_TRUE(service.started());
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i) {
      threads.emplace_back([i] {
        for (int n = 0; n < 25; ++n) Exchange(Padded((n + i) % 2 == 0 ? "1;1279;;" : "1;1281;;"));
      });
    }
    for (std::thread& thread : threads) thread.join();
    ASSERT_TRUE(service.StopOverTheControlPipe());
  }
  std::ifstream lines(log);
  bool running = false;
  int replayed = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("\"event\":\"outcome\"") != std::string::npos) continue;
    ++replayed;
    const bool start = line.find("\"command\":\"StartJob\"") != std::string::npos;
    const std::size_t at = line.find("\"status\":");
    ASSERT_NE(at, std::string::npos) << line;
    const int status = std::atoi(line.c_str() + at + 9);
    // Start succeeds unless running; cancel succeeds only when running.
    const int expected = start == running ? 5023 : 0;
    ASSERT_EQ(status, expected) << "request " << replayed << ": " << line;
    if (status == 0) running = start;
  }
  EXPECT_EQ(replayed, 16 * 25);
  DeleteFileA(log.c_str());
}

// Whoever holds the pipe, the guard says so and refuses; a name nobody serves does not stop it.
TEST(DevServiceProcess, AnotherServerOnThePipeIsRefusedAndNothingElseIs) {
  // A process holding the name of the mutex older services used, while nothing serves the pipe.
  const HANDLE squatted = CreateMutexW(nullptr, FALSE, L"Global\\velmora-devservice-pipe_job");
  {
    DevServiceProcess first(L"");
    ASSERT_TRUE(first.started());
    EXPECT_TRUE(first.running()) << "refused to start for a squatted name";
    DevServiceProcess second(L"");
    EXPECT_EQ(second.ExitCode(10000), 1);
    EXPECT_TRUE(first.running());
    EXPECT_EQ(Exchange(Padded("1;1279;;")).rfind("1;0;started;", 0), 0u);
  }
  CloseHandle(squatted);
  // Another program's server, which holds no mutex of ours.
  const HANDLE impostor = CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX,
                                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 4,
                                           kFrameSize, kFrameSize, 0, nullptr);
  ASSERT_NE(impostor, INVALID_HANDLE_VALUE);
  DevServiceProcess beside(L"");
  EXPECT_EQ(beside.ExitCode(10000), 1);
  CloseHandle(impostor);
  // A caller that takes the only instance the moment it exists is not another server.
  for (int round = 0; round < 3; ++round) {
    std::thread caller([] {
      HANDLE pipe = INVALID_HANDLE_VALUE;
      for (const ULONGLONG end = GetTickCount64() + 5000;
           pipe == INVALID_HANDLE_VALUE && GetTickCount64() < end;) {
        pipe = OpenPipe();
      }
      Sleep(300);
      CloseHandle(pipe);
    });
    DevServiceProcess single(L"--single");
    caller.join();
    EXPECT_TRUE(single.running()) << "round " << round;
  }
}

// One deadline holds for the whole connection whatever the client sends, instances stay put
// while idle clients come and go, and a request limit is exact.
TEST(DevServiceProcess, DeadlinesChurnAndTheRequestLimit) {
  {
    DevServiceProcess service(L"--client-timeout 1000");
    ASSERT_TRUE(service.started());
    // Drip: after its reply the client keeps sending an empty message every 300 ms.
    HANDLE drip = INVALID_HANDLE_VALUE;
    ASSERT_EQ(Exchange(Padded("1;1279;;"), &drip).rfind("1;0;started;", 0), 0u);
    const ULONGLONG start = GetTickCount64();
    DWORD count = 0;
    while (GetTickCount64() - start < 5000 && WriteFile(drip, "", 0, &count, nullptr)) Sleep(300);
    const ULONGLONG heldMs = GetTickCount64() - start;
    CloseHandle(drip);
    std::printf("[ drip     ] disconnected after %llu ms (limit 1000 ms)\n", heldMs);
    EXPECT_LT(heldMs, 2500u);

    // Churn: rounds of idle clients that the time limit cuts off, while two callers go on.
    std::atomic<bool> churning{true};
    std::atomic<int> calls{0}, failures{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 2; ++i) {
      callers.emplace_back([&] {
        while (churning) {
          ++calls;
          failures += Exchange(Padded("-1;1284;;")).rfind("-1;0;", 0) != 0;
        }
      });
    }
    for (int round = 0; round < 3; ++round) {
      std::vector<HANDLE> idle;
      for (int i = 0; i < 100; ++i) {
        const HANDLE pipe = OpenPipe();
        if (pipe != INVALID_HANDLE_VALUE) idle.push_back(pipe);
      }
      AwaitDisconnected(idle, 3000);
      for (HANDLE pipe : idle) CloseHandle(pipe);
    }
    churning = false;
    for (std::thread& caller : callers) caller.join();
    std::printf("[ churn    ] 3 rounds of 100 idle clients: %d of %d calls failed\n",
                failures.load(), calls.load());
    EXPECT_EQ(failures, 0);
  }

  // A limit with many callers at once: exactly that many carried out, and every caller the
  // service let in answered, the others told "not carried out" (1061); none cut off.
  for (const int limit : {3, 300}) {
    DevServiceProcess limited(L"--max-requests " + std::to_wstring(limit));
    ASSERT_TRUE(limited.started());
    std::atomic<int> carriedOut{0}, refused{0}, cut{0}, kept{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 32; ++i) {
      callers.emplace_back([&] {
        for (bool connected = true; connected;) {
          const std::string reply = Exchange(Padded("-1;1284;;"), nullptr, &connected);
          carriedOut += reply.rfind("-1;0;", 0) == 0;
          refused += reply.rfind("-1;1061;", 0) == 0;
          cut += connected && reply.empty();
          kept += !connected;
        }
      });
    }
    for (std::thread& caller : callers) caller.join();
    EXPECT_EQ(carriedOut, limit);
    EXPECT_EQ(cut, 0);
    EXPECT_EQ(limited.ExitCode(10000), 0);
    std::printf(
        "[ limit    ] 32 callers, limit %d: %d carried out, %d told 1061, %d cut off, %d "
        "kept out\n",
        limit, carriedOut.load(), refused.load(), cut.load(), kept.load());
  }
}

// With its output a pipe nobody reads, the service still answers every caller, and stops.
TEST(DevServiceProcess, AConsoleNobodyReadsHoldsNoCaller) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 4096));
  constexpr int kCalls = 3000;  // about 240 KB of console lines
  DevServiceProcess service(L"--max-requests " + std::to_wstring(kCalls), writeEnd);
  ASSERT_TRUE(service.started());
  std::atomic<int> answered{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < 8; ++i) {
    callers.emplace_back([&] {
      for (int n = 0; n < kCalls / 8; ++n) {
        answered += Exchange(Padded("-1;1284;;")).rfind("-1;0;", 0) == 0;
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(answered, kCalls);
  EXPECT_EQ(service.ExitCode(15000), 0) << "the stop waited on the console";
  CloseHandle(writeEnd);
  CloseHandle(readEnd);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
