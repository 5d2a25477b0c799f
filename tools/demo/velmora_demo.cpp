// Drives every export of Velmora.dll against a small service started in this process, then
// shows the library with no service at all and what edition 2 leaves out.
//   velmora_demo EDITION3_DLL EDITION2_DLL
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

namespace {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\pipe_job";
constexpr DWORD kFrameSize = 1024;

// One pipe instance, one client at a time: enough to show the exchange.
class DemoService {
 public:
  DemoService()
      : pipe_(CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX,
                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, kFrameSize,
                               kFrameSize, 0, nullptr)),
        thread_([this] { Serve(); }) {}

  ~DemoService() {
    stopping_ = true;
    // Wake the instance with one last connection, once it listens again.
    HANDLE wake = INVALID_HANDLE_VALUE;
    while (wake == INVALID_HANDLE_VALUE) {
      WaitNamedPipeW(kPipeName, 1000);
      wake = CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
    }
    thread_.join();
    CloseHandle(wake);
    CloseHandle(pipe_);
  }

  std::string lastRequest() const { return lastRequest_; }

 private:
  void Serve() {
    char request[kFrameSize + 1];
    for (;;) {
      if (!ConnectNamedPipe(pipe_, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
      if (stopping_) return;
      DWORD count = 0;
      ZeroMemory(request, sizeof request);
      if (ReadFile(pipe_, request, kFrameSize, &count, nullptr)) {
        lastRequest_ = request;
        int job = 0;
        int command = 0;
        std::sscanf(request, "%d;%d;", &job, &command);
        // Job 404 does not exist here; everything else succeeds.
        char reply[kFrameSize] = {};
        std::snprintf(reply, sizeof reply, "%d;%d;%s;", job, job == 404 ? 1168 : 0,
                      job == 404 ? "no such job" : "done");
        WriteFile(pipe_, reply, kFrameSize, &count, nullptr);
        ReadFile(pipe_, request, kFrameSize, &count, nullptr);  // until the client closes
      }
      DisconnectNamedPipe(pipe_);
    }
  }

  HANDLE pipe_;
  std::atomic<bool> stopping_{false};
  std::string lastRequest_;
  std::thread thread_;
};

std::string WindowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

template <typename Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void Show(const char* call, int status, const DemoService& service) {
  std::printf("  %-36s sent %-26s status %-5d GetLastError %lu\n", call,
              ("\"" + service.lastRequest() + "\"").c_str(), status, GetLastError());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: velmora_demo EDITION3_DLL EDITION2_DLL\n");
    return 2;
  }
  const HMODULE edition3 = LoadLibraryA(WindowsPath(argv[1]).c_str());
  const HMODULE edition2 = LoadLibraryA(WindowsPath(argv[2]).c_str());
  if (edition3 == nullptr || edition2 == nullptr) {
    std::fprintf(stderr, "cannot load the DLLs (error %lu)\n", GetLastError());
    return 1;
  }
  using IntFromInt = int(__cdecl*)(int);
  const auto startJob = Export<IntFromInt>(edition3, "StartJob");

  std::printf("Velmora.dll edition 3, every export against a demo service:\n");
  {
    DemoService service;
    Show("StartJob(5)", startJob(5), service);
    Show("RestartJob(5)", Export<IntFromInt>(edition3, "RestartJob")(5), service);
    Show("CancelJob(404)", Export<IntFromInt>(edition3, "CancelJob")(404), service);
    Show("DeleteJob(6)", Export<IntFromInt>(edition3, "DeleteJob")(6), service);
    Show("ChangeJobState(7, 1)", Export<int(__cdecl*)(int, int)>(edition3, "ChangeJobState")(7, 1),
         service);
    Export<void(__cdecl*)()>(edition3, "StartJobOnBoot")();
    Show("StartJobOnBoot()  [returns nothing]", static_cast<int>(GetLastError()), service);
    Export<void(__cdecl*)(int)>(edition3, "SetProcessPriority")(2);
    Show("SetProcessPriority(2)  [nothing]", static_cast<int>(GetLastError()), service);
    Show("DeleteJobFile(9)", Export<IntFromInt>(edition3, "DeleteJobFile")(9), service);
    Show("DeleteJobFileByName(\"old.log\")",
         Export<int(__cdecl*)(const char*)>(edition3, "DeleteJobFileByName")("old.log"), service);
    Show("DeleteJobProfile(4)", Export<IntFromInt>(edition3, "DeleteJobProfile")(4), service);
    Show("StartMigJob(8, \"a->b\")",
         Export<int(__cdecl*)(int, const char*)>(edition3, "StartMigJob")(8, "a->b"), service);
    Show(
        "StartSyncJob(3, \"a\", \"b\")",
        Export<int(__cdecl*)(int, const char*, const char*)>(edition3, "StartSyncJob")(3, "a", "b"),
        service);
    Show("RunProcAsAdmin(\"setup.exe\")",
         Export<int(__cdecl*)(const char*)>(edition3, "RunProcAsAdmin")("setup.exe"), service);
  }

  std::printf("\nNo service running:\n");
  const int scheduler = Export<int(__cdecl*)()>(edition3, "StartScheduler")();
  std::printf("  StartScheduler() returns %d at once (it contacts nobody)\n", scheduler);
  const ULONGLONG start = GetTickCount64();
  const int status = startJob(5);
  std::printf("  StartJob(5) returns %d (no such pipe) after %.1f s\n", status,
              (GetTickCount64() - start) / 1000.0);

  std::printf("\nVelmora.dll edition 2:\n  StartSyncJob is %s\n",
              GetProcAddress(edition2, "StartSyncJob") == nullptr ? "not exported"
                                                                  : "exported (unexpected)");
  FreeLibrary(edition2);
  FreeLibrary(edition3);
  return status == ERROR_FILE_NOT_FOUND ? 0 : 1;
}
