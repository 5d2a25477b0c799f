// What a call through Velmora.dll costs next to the same pipe calls made by hand, against the
// same service in this process. The two clients take turns in rounds (A B A B ...) so that any
// drift of the machine falls on both alike.
//   velmora_pipe_bench PATH\TO\Velmora.dll [CALLS_PER_CLIENT]
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "job_command.h"
#include "job_frames.h"
#include "pipe_server.h"

namespace {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\pipe_job";
constexpr DWORD kFrameSize = static_cast<DWORD>(velmora::kFrameSize);
constexpr int kRoundSize = 100;

// The service: the tools' pipe server with one reply for every request.
class BenchService : public velmora::tools::PipeService {
 public:
  explicit BenchService(int instances) : server_({instances, INFINITE, true, nullptr}, *this) {
    reply_ = "0;0;ok;";
    reply_.resize(kFrameSize, '\0');
    std::string error;
    if (!server_.Start(error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::exit(1);
    }
  }
  velmora::tools::Answer OnRequest(const velmora::tools::Caller&, const std::string&,
                                   std::size_t) override {
    velmora::tools::Answer answer;
    answer.messages = {reply_};
    return answer;
  }

 private:
  std::string reply_;
  velmora::tools::PipeServer server_;
};

// The same calls the library makes, written out by hand, with nothing around them.
int RawStartJob(int job) {
  char frame[kFrameSize] = {};
  std::snprintf(frame, sizeof frame, "%d;%d;;", job,
                static_cast<int>(velmora::JobCommand::kStartJob));
  const HANDLE pipe =
      CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
  DWORD count = 0;
  WriteFile(pipe, frame, kFrameSize, &count, nullptr);
  char reply[kFrameSize + 1] = {};
  DWORD received = 0;
  while (received < kFrameSize) {
    const BOOL ok = ReadFile(pipe, reply + received, kFrameSize - received, &count, nullptr);
    if (!ok && GetLastError() != ERROR_MORE_DATA) break;
    received += count;
  }
  CloseHandle(pipe);
  const char* status = std::strchr(reply, ';');
  return status != nullptr ? std::atoi(status + 1) : 0;
}

using StartJobFunction = int(__cdecl*)(int);

// Statuses other than 0, by value, from every thread.
std::mutex gFailuresMutex;
std::map<int, int> gFailures;

// Makes one call and counts it if it did not succeed.
bool Call(StartJobFunction startJob, int job) {
  const int status = startJob(job);
  if (status == 0) return true;
  std::lock_guard<std::mutex> lock(gFailuresMutex);
  ++gFailures[status];
  return false;
}

double Microseconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency) {
  return 1e6 * static_cast<double>(to.QuadPart - from.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

double Percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

// Calls per second with `threads` callers each making `callsPerThread` calls.
double Throughput(StartJobFunction startJob, int threads, int callsPerThread) {
  BenchService service(2 * threads + 1);
  std::vector<std::thread> callers;
  const ULONGLONG start = GetTickCount64();
  for (int t = 0; t < threads; ++t) {
    callers.emplace_back([&] {
      for (int i = 0; i < callsPerThread; ++i) Call(startJob, i);
    });
  }
  for (std::thread& caller : callers) caller.join();
  const double seconds = static_cast<double>(GetTickCount64() - start) / 1000.0;
  return threads * callsPerThread / (seconds > 0 ? seconds : 0.001);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: velmora_pipe_bench PATH\\TO\\Velmora.dll [CALLS_PER_CLIENT]\n");
    return 2;
  }
  const HMODULE library = LoadLibraryA(argv[1]);
  const auto libraryStartJob =
      library == nullptr ? nullptr
                         : reinterpret_cast<StartJobFunction>(
                               reinterpret_cast<void*>(GetProcAddress(library, "StartJob")));
  if (libraryStartJob == nullptr) {
    std::fprintf(stderr, "cannot load StartJob from %s: error %lu\n", argv[1], GetLastError());
    return 1;
  }
  const int calls = argc > 2 ? std::max(kRoundSize, std::atoi(argv[2])) : 20000;

  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  std::vector<double> libraryTimes;
  std::vector<double> rawTimes;
  {
    BenchService service(3);
    // Warm up both paths before measuring.
    for (int i = 0; i < 200; ++i) {
      Call(libraryStartJob, i);
      Call(RawStartJob, i);
    }
    for (int round = 0; round < calls / kRoundSize; ++round) {
      for (int client = 0; client < 2; ++client) {
        const StartJobFunction startJob = client == 0 ? libraryStartJob : RawStartJob;
        std::vector<double>& times = client == 0 ? libraryTimes : rawTimes;
        for (int i = 0; i < kRoundSize; ++i) {
          LARGE_INTEGER before;
          LARGE_INTEGER after;
          QueryPerformanceCounter(&before);
          Call(startJob, i);
          QueryPerformanceCounter(&after);
          times.push_back(Microseconds(before, after, frequency));
        }
      }
    }
  }

  const double libraryMedian = Percentile(libraryTimes, 0.5);
  const double rawMedian = Percentile(rawTimes, 0.5);
  std::printf("calls per client: %zu, in rounds of %d, alternating\n", libraryTimes.size(),
              kRoundSize);
  std::printf("library StartJob: median %.1f us, p99 %.1f us\n", libraryMedian,
              Percentile(libraryTimes, 0.99));
  std::printf("raw Win32 client: median %.1f us, p99 %.1f us\n", rawMedian,
              Percentile(rawTimes, 0.99));
  for (int threads : {1, 2, 8}) {
    const double library = Throughput(libraryStartJob, threads, 4000 / threads);
    const double raw = Throughput(RawStartJob, threads, 4000 / threads);
    std::printf("%d thread%s: library %.0f calls/s, raw %.0f calls/s\n", threads,
                threads == 1 ? "" : "s", library, raw);
  }
  // Under load a caller can lose a freed instance to another (231); that is the busy path
  // working, not a fault, but it is counted so that the figures can be judged.
  std::printf("calls that did not get status 0:");
  if (gFailures.empty()) std::printf(" none");
  for (const auto& [status, count] : gFailures) std::printf(" %d x status %d", count, status);
  std::printf("\n");
  std::printf("ratio library/raw: %.2f\n", libraryMedian / rawMedian);
  return 0;
}
