// The C++ test helper against the real service, with calls through Velmora.dll, under Wine.
// Runs from bin/ of the build tree, where the service and the DLL sit side by side as in the
// archive.
#include <gtest/gtest.h>
#include <velmora.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "velmora_devservice.hpp"

namespace {

using velmora_testing::ControlError;
using velmora_testing::DevService;

// A pipe that nobody else serves, so these cases never meet a service left by another test.
DevService::Options Private(const wchar_t* arguments = L"") {
  DevService::Options options;
  options.control = L"velmora-helper-test";
  options.arguments = arguments;
  return options;
}

bool PipeExists(const wchar_t* name) {
  const HANDLE pipe =
      CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
  return pipe != INVALID_HANDLE_VALUE || GetLastError() == ERROR_PIPE_BUSY;
}

bool ProcessEnded(DWORD pid) {
  const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return true;
  const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

// Rules given by Apply judge the very next call, with nothing in between.
TEST(ApplyLoop, EveryApplyJudgesTheNextCall) {
  DevService service(Private());
  for (int i = 0; i < 200; ++i) {
    service.Apply(R"({"rules": [{"match": {"job": 5}, "do": "reply", "status": )" +
                  std::to_string(7000 + i) + "}]}");
    ASSERT_EQ(StartJob(5), 7000 + i) << "apply " << i;
  }
  EXPECT_EQ(service.Verify(R"("job": 5, "count": 200)").count, 200);
}

// Rules that act on the pipe itself are in place when Apply returns, and so is their end.
struct PipeRuleCase {
  const char* rules;
  int status;
  DWORD atLeastMs;
};
const PipeRuleCase kPipeRules[] = {
    {R"({"rules": [{"do": "absent"}]})", 2, 1500},  // the library's connect retries, then 2
    {R"({"rules": [{"do": "busy"}]})", 121, 4500},  // its one busy wait, then 121
    {R"({"rules": [{"do": "hang-up-before-read"}]})", 0, 0},  // 232, 233 or 109: checked below
};

TEST(PipeRules, AreInPlaceOnceApplyReturnsAndGoneOnceTheNextOneDoes) {
  DevService service(Private());
  for (const PipeRuleCase& row : kPipeRules) {
    service.Apply(row.rules);
    const ULONGLONG started = GetTickCount64();
    const int status = StartJob(1);
    const ULONGLONG ms = GetTickCount64() - started;
    if (row.status == 0) {
      EXPECT_TRUE(status == 232 || status == 233 || status == 109) << row.rules << ": " << status;
    } else {
      EXPECT_EQ(status, row.status) << row.rules;
    }
    EXPECT_GE(ms, row.atLeastMs) << row.rules;
    service.Apply(R"({"rules": []})");
    EXPECT_EQ(CancelJob(1), 5023) << "after " << row.rules;  // served at once: job 1 is idle
  }
}

TEST(Refusals, ThrowWithTheReasonAndKeepTheRulesInForce) {
  DevService service(Private());
  service.Apply(R"({"rules": [{"do": "reply", "status": 1460}]})");
  try {
    service.Apply("{\"rules\": [{\"do\": \"reply\"},\n {\"do\": \"x\"}]}");
    ADD_FAILURE() << "a refused rules file was taken";
  } catch (const ControlError& e) {
    EXPECT_STREQ(e.what(), "rule 2: unknown action \"x\"");
  }
  EXPECT_EQ(StartJob(2), 1460);
  EXPECT_THROW(service.Call(R"({"op":"rewind"})"), ControlError);
  EXPECT_EQ(StartJob(2), 1460);  // the connection is still good
}

TEST(Verify, GivesTheCountAgreementAndReport) {
  DevService service(Private());
  ASSERT_EQ(StartJob(1), 0);
  ASSERT_EQ(StartJob(1), 5023);
  const velmora_testing::VerifyResult twice = service.Verify(R"("job": 1, "count": 2)");
  EXPECT_TRUE(twice.agrees);
  EXPECT_EQ(twice.count, 2);
  const velmora_testing::VerifyResult thrice = service.Verify(R"("job": 1, "count": 3)");
  EXPECT_FALSE(thrice.agrees);
  EXPECT_EQ(thrice.count, 2);
  EXPECT_NE(thrice.report.find("found 2 request(s) with job 1; expected exactly 3"),
            std::string::npos)
      << thrice.report;
  service.Reset();
  EXPECT_EQ(service.Verify(R"("job": 1, "count": 0)").count, 0);
  EXPECT_EQ(StartJob(1), 0);  // idle again
}

// However the scope is left, the service is gone with it.
TEST(Lifetime, TheServiceEndsWithItsHolderEvenWhenATestThrows) {
  DWORD pid = 0;
  try {
    DevService service(Private());
    pid = service.ProcessId();
    ASSERT_NE(pid, 0u);
    throw std::runtime_error("a test gave up");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(ProcessEnded(pid));
  EXPECT_FALSE(PipeExists(L"\\\\.\\pipe\\velmora-helper-test"));
  EXPECT_FALSE(PipeExists(L"\\\\.\\pipe\\pipe_job"));
}

// A service that cannot start is reported at once, not after the start time.
struct StartCase {
  const wchar_t* exe;
  const wchar_t* arguments;
  const char* says;
};
const StartCase kStarts[] = {
    {L"no-such-devservice.exe", L"", "cannot start no-such-devservice.exe: error 2"},
    {L"", L"--jobs -1", "velmora-devservice exited with 2 before it served"},
};

TEST(Start, FailuresAreReportedAtOnce) {
  for (const StartCase& row : kStarts) {
    DevService::Options options = Private(row.arguments);
    options.exe = row.exe;
    const ULONGLONG started = GetTickCount64();
    try {
      DevService service(options);
      ADD_FAILURE() << row.says << ": started";
    } catch (const ControlError& e) {
      EXPECT_NE(std::string(e.what()).find(row.says), std::string::npos) << e.what();
    }
    EXPECT_LT(GetTickCount64() - started, 5000u) << row.says;
  }
}

std::string FileText(const std::wstring& path) {
  std::string text;
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return text;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) text.append(chunk, got);
  CloseHandle(file);
  return text;
}

// The service's console is the helper's file, not the test's output, and a failure names it.
TEST(Start, TheConsoleGoesToAFileThatAFailureNames) {
  {
    DevService service(Private());
    ASSERT_FALSE(service.ConsolePath().empty());
    std::string console;
    for (int i = 0; i < 100 && console.find("serving") == std::string::npos; ++i) {
      Sleep(50);  // its console is written by a thread of its own
      console = FileText(service.ConsolePath());
    }
    EXPECT_NE(console.find("serving \\\\.\\pipe\\pipe_job"), std::string::npos) << console;
  }
  DevService::Options bad = Private(L"--jobs -1");
  try {
    DevService service(bad);
    ADD_FAILURE() << "started with --jobs -1";
  } catch (const ControlError& e) {
    const std::string said = e.what();
    const std::size_t at = said.find("(its console: ");
    ASSERT_NE(at, std::string::npos) << said;
    const std::string path = said.substr(at + 14, said.size() - at - 15);
    EXPECT_NE(FileText(std::wstring(path.begin(), path.end())).find("--jobs"), std::string::npos)
        << path;
  }
}

// A second helper on a name another service answers is refused, and takes nothing from it.
TEST(Start, TwoHelpersOnOneControlNameAreToldApart) {
  DevService first(Private());
  try {
    DevService second(Private());
    ADD_FAILURE() << "the second helper took the first one's service";
  } catch (const ControlError& e) {
    EXPECT_NE(std::string(e.what()).find("another velmora-devservice (process " +
                                         std::to_string(first.ProcessId()) + ")"),
              std::string::npos)
        << e.what();
  }
  EXPECT_EQ(velmora_testing::DevService::JsonMember(first.Ping(), "pid"),
            std::to_string(first.ProcessId()));
}

HANDLE OpenControl(const wchar_t* name) {
  for (;;) {
    const HANDLE pipe = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
    // Every instance taken for the moment: wait for one, as a client does.
    if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY ||
        !WaitNamedPipeW(name, 5000)) {
      return pipe;
    }
  }
}

// Whether the service ends the connection within `ms`: a read then fails.
bool CutOffWithin(HANDLE pipe, DWORD ms) {
  OVERLAPPED io{};
  io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  char byte = 0;
  DWORD got = 0;
  bool cut = !ReadFile(pipe, &byte, 1, &got, &io) && GetLastError() != ERROR_IO_PENDING;
  if (!cut && WaitForSingleObject(io.hEvent, ms) == WAIT_OBJECT_0) {
    cut = !GetOverlappedResult(pipe, &io, &got, FALSE);
  } else if (!cut) {
    CancelIoEx(pipe, &io);
    GetOverlappedResult(pipe, &io, &got, TRUE);
  }
  CloseHandle(io.hEvent);
  return cut;
}

// Clients that connect and send nothing, or stop inside a line, lock no test out: a fresh one
// is answered beside them, and they are cut off after 10 s. One that has had an answer may idle.
// 63 of them and the helper's own connection: the 64 clients served at once.
TEST(ControlPipe, IdleClientsLockNobodyOut) {
  DevService service(Private());
  const wchar_t* name = L"\\\\.\\pipe\\velmora-helper-test";
  std::vector<HANDLE> idle;
  for (int i = 0; i < 63; ++i) {
    idle.push_back(OpenControl(name));
    ASSERT_NE(idle.back(), INVALID_HANDLE_VALUE) << "client " << i << ": " << GetLastError();
  }
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(idle[0], "{\"op\":\"pi", 9, &written, nullptr));  // inside a line
  const ULONGLONG started = GetTickCount64();
  EXPECT_EQ(velmora_testing::DevService::JsonMember(service.Ping(), "ok"), "true");
  for (HANDLE pipe : idle) {
    EXPECT_TRUE(CutOffWithin(pipe, 20000)) << "an idle client was kept";
    CloseHandle(pipe);
  }
  const ULONGLONG took = GetTickCount64() - started;
  EXPECT_GT(took, 8000u);
  EXPECT_LT(took, 20000u);
  Sleep(11000);  // the helper's own connection, answered before, idled past the limit
  EXPECT_EQ(velmora_testing::DevService::JsonMember(service.Ping(), "ok"), "true");
}

// Runs `command` (bin/ holds the program) in a new process, suspended until `before` has run
// with its process ID; its exit code, which jobctl makes the call's status.
DWORD RunAfter(const std::wstring& command, const std::function<void(DWORD)>& before) {
  wchar_t self[MAX_PATH];
  const std::wstring path(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
  const std::wstring folder = path.substr(0, path.find_last_of(L"\\/") + 1);
  std::wstring line = command;
  const std::size_t at = line.find(L"{bin}");
  if (at != std::wstring::npos) line.replace(at, 5, folder);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                      nullptr, &startup, &started)) {
    return GetLastError() | 0x80000000u;
  }
  before(started.dwProcessId);
  ResumeThread(started.hThread);
  WaitForSingleObject(started.hProcess, 30000);
  DWORD code = 0;
  GetExitCodeProcess(started.hProcess, &code);
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return code;
}

std::string Answering(int status) {
  return R"({"rules": [{"match": {"job": 5}, "do": "reply", "status": )" + std::to_string(status) +
         "}]}";
}

// Each caller meets the rules of the innermost session that covers its process, whatever the
// others hold for the same job at the same time; a process outside every session, and every
// process once its session ends, meets the service's own.
TEST(Sessions, RouteEachCallerToItsOwnRules) {
  DevService service(Private());
  service.Apply(Answering(1000));
  auto mine = service.Session();
  mine->Apply(Answering(2001));
  const struct {
    const char* name;
    const wchar_t* command;
    bool ownSession;  // the process is put in a session of its own before it runs
    DWORD status;
  } rows[] = {
      {"a child", L"\"{bin}jobctl.exe\" --quiet start 5", false, 2001},
      {"a grandchild", L"cmd.exe /c \"{bin}jobctl.exe\" --quiet start 5", false, 2001},
      {"a child in a session of its own", L"\"{bin}jobctl.exe\" --quiet start 5", true, 2002},
  };
  for (const auto& row : rows) {
    std::unique_ptr<DevService> theirs;
    const DWORD status = RunAfter(row.command, [&](DWORD pid) {
      if (!row.ownSession) return;
      theirs = service.Session(pid);
      theirs->Apply(Answering(2002));
    });
    EXPECT_EQ(status, row.status) << row.name;
    EXPECT_EQ(StartJob(5), 2001) << "this program, after " << row.name;
    if (theirs) EXPECT_EQ(theirs->Verify(R"("job": 5, "count": 1)").count, 1) << row.name;
  }
  // Its journal is its own calls: this program's three, the child's and the grandchild's.
  EXPECT_EQ(mine->Verify(R"("job": 5, "count": 5)").count, 5);
  try {
    mine->Apply(R"({"rules": [{"do": "busy", "for_ms": 100}]})");
    ADD_FAILURE() << "busy was applied in a session";
  } catch (const ControlError& refused) {
    EXPECT_STREQ(refused.what(), "busy acts on the whole pipe: apply it outside a session");
  }
  mine.reset();
  EXPECT_EQ(StartJob(5), 1000);
}

// Answers are read by their members, not by where a member stands.
TEST(Answers, AreReadWhateverTheOrderOfTheirMembers) {
  const struct {
    const char* answer;
    const char* name;
    const char* member;
  } rows[] = {
      {R"({"ok":true,"count":2})", "count", "2"},
      {R"({"count":2, "report":"a \"b\", c","agrees":true,"ok":true})", "agrees", "true"},
      {R"({"count":2, "report":"a \"b\", c","agrees":true,"ok":true})", "ok", "true"},
      {R"({"entries":[{"ok":false},{"x":"]"}],"ok":true,"next":3})", "ok", "true"},
      {R"({"entries":[{"ok":false}],"next":3})", "ok", ""},
      {R"({"error":"rule 2: \u00e9","ok":false})", "error", R"("rule 2: \u00e9")"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(DevService::JsonMember(row.answer, row.name), row.member) << row.answer;
  }
  EXPECT_EQ(DevService::JsonString(R"("rule 2: \u00e9 \"x\"")"), "rule 2: \xc3\xa9 \"x\"");
}

}  // namespace
