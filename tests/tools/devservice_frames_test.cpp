// velmora-devservice as a separate process, fed frames no library would send: it answers each
// malformed one with status 87 and goes on serving.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\pipe_job";
constexpr DWORD kFrameSize = 1024;

// The development service, started for one test and ended with it.
class DevServiceProcess {
 public:
  DevServiceProcess() {
    std::wstring command = L"\"" VELMORA_DEVSERVICE_EXE L"\" --instances 2";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    started_ = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &process_);
    // The pipe exists once the service is ready.
    for (int i = 0; started_ && i < 200 && !WaitNamedPipeW(kPipeName, 0); ++i) Sleep(50);
  }
  ~DevServiceProcess() {
    if (!started_) return;
    TerminateProcess(process_.hProcess, 0);
    WaitForSingleObject(process_.hProcess, 10000);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  bool started() const { return started_ != FALSE; }
  bool running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }

 private:
  PROCESS_INFORMATION process_{};
  BOOL started_ = FALSE;
};

HANDLE OpenPipe() {
  return CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

// Sends `message` as one message and returns the reply text ("" if none came).
std::string Exchange(const std::string& message) {
  HANDLE pipe = OpenPipe();
  // Both instances may still be closing the previous connections: wait for one, as callers do.
  if (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY &&
      WaitNamedPipeW(kPipeName, 5000)) {
    pipe = OpenPipe();
  }
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
  CloseHandle(pipe);
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
      {"short message", "2;1279;;", "2;0;started;"},
      {"longer than a frame", Padded("3;1279;;") + std::string(kFrameSize, 'y'), "3;0;started;"},
      {"edition 2 cut", Padded("-1;1286;" + std::string(251, 'n')), "-1;0;recorded"},
      {"well formed afterwards", Padded("1;1281;;"), "1;0;cancelled;"},
  };
  for (const auto& row : rows) {
    const std::string reply = Exchange(row.message);
    EXPECT_EQ(reply.rfind(row.reply, 0), 0u) << row.name << ": got \"" << reply << "\"";
    ASSERT_TRUE(service.running()) << "stopped after: " << row.name;
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
