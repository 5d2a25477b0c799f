// Sessions under load: 8 processes call StartJob(5) 500 times each at once against one
// development service, each in a session whose rule answers job 5 with a status of its own.
// Prints, per process, the answers that were not its session's and whether its session's
// journal holds exactly its calls; then calls per second, and the same calls from one process
// alone with no session. Run from bin/, beside velmora-devservice.exe and Velmora.dll:
//   velmora_session_bench [PROCESSES] [CALLS]
#include <velmora.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "velmora_devservice.hpp"

namespace {

using velmora_testing::DevService;

constexpr wchar_t kControl[] = L"velmora-session-bench";
constexpr wchar_t kGo[] = L"Local\\velmora-session-bench-go";

DevService::Options Bench() {
  DevService::Options options;
  options.control = kControl;
  return options;
}

int Calls(int argc, wchar_t** argv, int at, int fallback) {
  return argc > at ? std::max(1, _wtoi(argv[at])) : fallback;
}

// One line a child wrote, with its LF.
std::string ReadLine(HANDLE output) {
  std::string line;
  char c = 0;
  DWORD got = 0;
  while (line.size() < 4096 && ReadFile(output, &c, 1, &got, nullptr) && got == 1) {
    line += c;
    if (c == '\n') break;
  }
  return line;
}

// One process: its session, the go, its calls; exits with the wrong answers' count.
int Child(int index, int calls) {
  const std::unique_ptr<DevService> shared = DevService::Shared(Bench());
  const std::unique_ptr<DevService> session = shared->Session();
  const int status = 3000 + index;
  session->Apply(R"({"rules": [{"match": {"job": 5}, "do": "reply", "status": )" +
                 std::to_string(status) + "}]}");
  const HANDLE go = CreateEventW(nullptr, TRUE, FALSE, kGo);
  std::printf("ready\n");
  std::fflush(stdout);
  WaitForSingleObject(go, 60000);
  int wrong = 0;
  const ULONGLONG started = GetTickCount64();
  for (int i = 0; i < calls; ++i) wrong += StartJob(5) != status;
  const ULONGLONG took = GetTickCount64() - started;
  const auto journal = session->Verify(R"("job": 5)");
  std::printf("process %d: %d wrong of %d, its journal %lld of its %d calls, its calls %llu ms\n",
              index, wrong, calls, journal.count, calls, took);
  CloseHandle(go);
  return wrong + (journal.count != calls);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 3 && std::wstring(argv[1]) == L"--child") return Child(_wtoi(argv[2]), _wtoi(argv[3]));
  const int processes = Calls(argc, argv, 1, 8), calls = Calls(argc, argv, 2, 500);
  DevService service(Bench());
  const HANDLE go = CreateEventW(nullptr, TRUE, FALSE, kGo);
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::vector<PROCESS_INFORMATION> children(processes);
  std::vector<HANDLE> outputs(processes);
  for (int i = 0; i < processes; ++i) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    CreatePipe(&read, &write, &inherit, 0);
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    std::wstring line = L"\"" + std::wstring(self) + L"\" --child " + std::to_wstring(i) + L" " +
                        std::to_wstring(calls);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = write;
    CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                   &children[i]);
    CloseHandle(write);
    outputs[i] = read;
  }
  // Each says it is ready once its session's rule is in force.
  for (const HANDLE output : outputs) ReadLine(output);
  const ULONGLONG started = GetTickCount64();
  SetEvent(go);
  // Timed to the last result line: the processes' ends, slow under Wine, are not calls.
  std::vector<std::string> results;
  for (const HANDLE output : outputs) results.push_back(ReadLine(output));
  const double together = static_cast<double>(GetTickCount64() - started) / 1000;
  int failures = 0;
  for (int i = 0; i < processes; ++i) {
    std::fputs(results[i].c_str(), stdout);
    WaitForSingleObject(children[i].hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(children[i].hProcess, &code);
    failures += code != 0;
    CloseHandle(outputs[i]);
    CloseHandle(children[i].hThread);
    CloseHandle(children[i].hProcess);
  }
  std::printf("%d processes x %d calls in sessions at once: %.0f calls/s, %d process(es) wrong\n",
              processes, calls, processes * calls / together, failures);
  const ULONGLONG alone = GetTickCount64();
  for (int i = 0; i < processes * calls; ++i) StartJob(1);
  std::printf("one process alone, no session, %d calls: %.0f calls/s\n", processes * calls,
              processes * calls / (static_cast<double>(GetTickCount64() - alone) / 1000));
  CloseHandle(go);
  return failures == 0 ? 0 : 1;
}
