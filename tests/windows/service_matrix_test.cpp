// StartJob(5) against every kind of service the library may meet, one row each: what the call
// returns, that the thread's last error says the same, how long it takes, and what the service
// received.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "library_test.h"
#include "scripted_service.h"

namespace velmora::test_support {
namespace {

constexpr int kJob = 5;
const std::string kRequest = Frame("5;1279;;");

// Where the service is when the call starts.
enum class Presence {
  kListening,
  kAppearsAfter1500Ms,
  kAbsent,
  kBusyFor3000Ms,  // its single instance is held by another client that far
  kBusyFor7000Ms,
};

// The codes a read meets when the service has closed its end: Windows gives 109, Wine 109 or
// 233.
constexpr int kClosedPipe = -1;
// A caller hung up on as it connects: its mode setting or write fails (232, 233), or, when the
// write came first, its read (109).
constexpr int kNotSent = -2;
// Whatever the reply's bytes decode to: the call only has to return it, as its last error too.
constexpr int kAnyStatus = -3;

struct MatrixRow {
  const char* name;
  Presence presence;
  ServiceBehaviour behaviour;
  bool watchdog;  // cancel the caller's blocked I/O after one second
  int result;     // or kClosedPipe, kNotSent, kAnyStatus
  ULONGLONG minMs;
  ULONGLONG maxMs;
  std::size_t requests;  // frames the service received, each the StartJob(5) request
  // Calls made one after another, each expected to end the same way: a second call finds the
  // service free again.
  int calls = 1;
};

// Names the row in test output instead of dumping its bytes.
void PrintTo(const MatrixRow& row, std::ostream* out) {
  *out << row.name;
}

ServiceBehaviour Replying(std::string reply) {
  ServiceBehaviour behaviour;
  behaviour.reply = [reply](const std::string&) { return reply; };
  return behaviour;
}
ServiceBehaviour InPieces(std::vector<std::size_t> pieces) {
  ServiceBehaviour behaviour = Replying(Frame("5;21;in pieces;"));
  behaviour.pieces = std::move(pieces);
  return behaviour;
}
// One rule of the development service's rules file that takes every request.
ServiceBehaviour Ruled(const std::string& rule) {
  ServiceBehaviour behaviour;
  behaviour.rules = "{\"seed\": 7, \"rules\": [" + rule + "]}";
  return behaviour;
}
ServiceBehaviour BytePipe() {
  ServiceBehaviour behaviour;
  behaviour.messagePipe = false;
  return behaviour;
}

const std::vector<MatrixRow>& Rows() {
  using P = Presence;
  static const std::string kNoZeroByte = "5;12;" + std::string(1019, 'm');
  static const std::vector<MatrixRow> rows = {
      {"normal_reply", P::kListening, Replying(Frame("5;7;started;")), false, 7, 0, 1000, 1},
      {"reply_in_2_pieces", P::kListening, InPieces({512}), false, 21, 0, 1000, 1},
      {"reply_in_4_pieces", P::kListening, InPieces({3, 5, 100}), false, 21, 0, 1000, 1},
      {"reply_in_1024_pieces", P::kListening, InPieces(std::vector<std::size_t>(1023, 1)), false,
       21, 0, 5000, 1},
      {"byte_type_pipe", P::kListening, BytePipe(), false, ERROR_INVALID_PARAMETER, 0, 1000, 0},
      {"appears_after_1500_ms", P::kAppearsAfter1500Ms, Replying(Frame("5;31;late;")), false, 31,
       1800, 4000, 1},
      {"absent_throughout", P::kAbsent, ServiceBehaviour(), false, ERROR_FILE_NOT_FOUND, 1800, 4000,
       0},
      {"single_instance_busy_3_s", P::kBusyFor3000Ms, Replying(Frame("5;44;waited;")), false, 44,
       2500, 5500, 1},
      {"single_instance_busy_7_s", P::kBusyFor7000Ms, ServiceBehaviour(), false, ERROR_SEM_TIMEOUT,
       4500, 6500, 0},
      // Each action of the rules, as a host developer meets it through the library.
      {"rule_reply", P::kListening, Ruled(R"({"do": "reply", "status": 1460})"), false, 1460, 0,
       1000, 1},
      {"rule_reply_after_delay", P::kListening,
       Ruled(R"({"do": "reply", "status": 9, "delay_ms": 1200})"), false, 9, 1100, 3000, 1},
      {"rule_raw", P::kListening, Ruled(R"({"do": "raw", "text": "5;77;raw;"})"), false, 77, 0,
       1000, 1},
      {"rule_raw_all_zero", P::kListening, Ruled(R"({"do": "raw", "text": ""})"), false, 0, 0, 1000,
       1},
      {"rule_raw_without_zero_byte", P::kListening,
       Ruled(R"({"do": "raw", "pad": false, "text": ")" + kNoZeroByte + "\"}"), false, 12, 0, 1000,
       1},
      {"rule_partial_0", P::kListening, Ruled(R"({"do": "partial", "bytes": 0})"), false,
       kClosedPipe, 0, 1000, 1},
      {"rule_partial_100", P::kListening, Ruled(R"({"do": "partial", "bytes": 100})"), false,
       kClosedPipe, 0, 1000, 1},
      {"rule_partial_1023", P::kListening, Ruled(R"({"do": "partial", "bytes": 1023})"), false,
       kClosedPipe, 0, 1000, 1},
      {"rule_oversize_1024", P::kListening,
       Ruled(R"({"do": "oversize", "bytes": 1024, "status": 55})"), false, 55, 0, 1000, 2, 2},
      {"rule_empty_10", P::kListening, Ruled(R"({"do": "empty", "count": 10, "status": 8})"), false,
       8, 0, 1000, 1},
      {"rule_empty_forever", P::kListening, Ruled(R"({"do": "empty", "count": "forever"})"), false,
       ERROR_BAD_PIPE, 0, 1000, 1},
      {"rule_garbled", P::kListening, Ruled(R"({"do": "garbled"})"), false, kAnyStatus, 0, 1000, 1},
      {"rule_hang_up_before_read", P::kListening, Ruled(R"({"do": "hang-up-before-read"})"), false,
       kNotSent, 0, 1000, 0},
      {"rule_hang_up_after_read", P::kListening, Ruled(R"({"do": "hang-up-after-read"})"), false,
       kClosedPipe, 0, 1000, 1},
      {"rule_hang", P::kListening, Ruled(R"({"do": "hang"})"), true, ERROR_OPERATION_ABORTED, 900,
       3000, 1},
      {"rule_busy_3_s", P::kListening, Ruled(R"({"do": "busy", "for_ms": 3000})"), false, 0, 2500,
       5500, 1},
      {"rule_busy_throughout", P::kListening, Ruled(R"({"do": "busy"})"), false, ERROR_SEM_TIMEOUT,
       4500, 6500, 0},
      {"rule_absent_1500_ms", P::kListening, Ruled(R"({"do": "absent", "for_ms": 1500})"), false, 0,
       900, 4000, 1},
      {"rule_absent_throughout", P::kListening, Ruled(R"({"do": "absent"})"), false,
       ERROR_FILE_NOT_FOUND, 1800, 4000, 0},
  };
  return rows;
}

class ServiceMatrix : public LibraryTest, public ::testing::WithParamInterface<MatrixRow> {};

// Holds the single instance of the service for `holdMs`, as another client would.
std::thread HoldInstance(DWORD holdMs) {
  const HANDLE holder = CreateFileW(L"\\\\.\\pipe\\pipe_job", GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(holder, INVALID_HANDLE_VALUE);
  return std::thread([holder, holdMs] {
    Sleep(holdMs);
    CloseHandle(holder);
  });
}

// Cancels the calling thread's blocked pipe I/O after a second unless disarmed first.
class Watchdog {
 public:
  Watchdog()
      : caller_(OpenThread(THREAD_TERMINATE, FALSE, GetCurrentThreadId())),
        disarmed_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    thread_ = std::thread([this] {
      if (WaitForSingleObject(disarmed_, 1000) == WAIT_TIMEOUT) CancelSynchronousIo(caller_);
    });
  }
  ~Watchdog() {
    SetEvent(disarmed_);
    thread_.join();
    CloseHandle(disarmed_);
    CloseHandle(caller_);
  }

 private:
  HANDLE caller_;
  HANDLE disarmed_;
  std::thread thread_;
};

TEST_P(ServiceMatrix, CallEndsAsSpecified) {
  const MatrixRow& row = GetParam();
  const auto startJob = library_.Get<IntFromInt>("StartJob");

  std::unique_ptr<ScriptedService> service;
  std::thread helper;
  switch (row.presence) {
    case Presence::kListening:
      service = std::make_unique<ScriptedService>(row.behaviour);
      break;
    case Presence::kAppearsAfter1500Ms:
      helper = std::thread([&service, &row] {
        Sleep(1500);
        service = std::make_unique<ScriptedService>(row.behaviour);
      });
      break;
    case Presence::kAbsent:
      break;
    case Presence::kBusyFor3000Ms:
    case Presence::kBusyFor7000Ms:
      service = std::make_unique<ScriptedService>(row.behaviour);
      helper = HoldInstance(row.presence == Presence::kBusyFor3000Ms ? 3000 : 7000);
      break;
  }

  for (int call = 0; call < row.calls; ++call) {
    int result = 0;
    DWORD lastError = 0;
    const ULONGLONG start = GetTickCount64();
    {
      std::unique_ptr<Watchdog> watchdog = row.watchdog ? std::make_unique<Watchdog>() : nullptr;
      SetLastError(0xDEAD);
      result = startJob(kJob);
      lastError = GetLastError();
    }
    const ULONGLONG elapsed = GetTickCount64() - start;
    if (helper.joinable()) helper.join();

    const bool closed = result == ERROR_BROKEN_PIPE || result == ERROR_PIPE_NOT_CONNECTED;
    if (row.result == kClosedPipe) {
      EXPECT_TRUE(closed) << result;
    } else if (row.result == kNotSent) {
      EXPECT_TRUE(closed || result == ERROR_NO_DATA) << result;
    } else if (row.result != kAnyStatus) {
      EXPECT_EQ(result, row.result) << "call " << call + 1;
    }
    EXPECT_EQ(lastError, static_cast<DWORD>(result)) << "call " << call + 1;
    EXPECT_GE(elapsed, row.minMs) << "call " << call + 1;
    EXPECT_LE(elapsed, row.maxMs) << "call " << call + 1;
  }
  const std::vector<std::string> requests =
      service ? service->Requests() : std::vector<std::string>();
  EXPECT_EQ(requests, std::vector<std::string>(row.requests, kRequest));
}

INSTANTIATE_TEST_SUITE_P(Rows, ServiceMatrix, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<MatrixRow>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace velmora::test_support
