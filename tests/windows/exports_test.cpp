// Every export of the loaded Velmora.dll against the scripted service: the frame the service
// receives, the status returned and the thread's last error.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "export_call.h"
#include "export_cases.h"
#include "library_test.h"
#include "scripted_service.h"

namespace velmora::test_support {
namespace {

using Exports = LibraryTest;

TEST_F(Exports, SendTheirFrameAndReportTheStatus) {
  std::atomic<int> status{0};
  ServiceBehaviour behaviour;
  behaviour.reply = [&status](const std::string& request) {
    return Frame(std::to_string(RequestJob(request)) + ";" + std::to_string(status) + ";ok;");
  };
  ScriptedService service(behaviour);
  int row = 0;
  std::size_t sent = 0;
  for (const ExportCase& c : ExportCases()) {
    if (Library().edition < c.Info().firstEdition) continue;
    status = 4000 + row++;
    SetLastError(12345);
    const std::optional<std::int32_t> result =
        tools::CallExport(reinterpret_cast<const void*>(library_.Find(c.exportName)),
                          c.Info().returnsStatus, c.numbers, c.texts);
    const DWORD lastError = GetLastError();
    if (result) {
      EXPECT_EQ(*result, status) << c.name;
    }
    EXPECT_EQ(lastError, static_cast<DWORD>(status)) << c.name;
    const std::vector<std::string> requests = service.Requests();
    ASSERT_EQ(requests.size(), ++sent) << c.name;
    EXPECT_EQ(requests.back(), Frame(c.Expected(Library().edition))) << c.name;
  }
}

// A caller's 259-byte text may end where its memory ends, with no terminator: the library reads
// only the bytes it keeps.
TEST_F(Exports, ReadNoByteOfATextPastTheBytesKept) {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const DWORD page = system.dwPageSize;
  auto* pages =
      static_cast<char*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(pages, nullptr);
  DWORD previous = 0;
  ASSERT_TRUE(VirtualProtect(pages + page, page, PAGE_NOACCESS, &previous));
  char* const text = pages + page - 259;
  std::fill(text, text + 259, 'g');
  const std::string g259(259, 'g');

  ScriptedService service({});
  struct {
    const char* name;
    std::function<int()> call;
    std::string sent;
  } cases[] = {
      {"DeleteJobFileByName",
       [&] { return library_.Get<IntFromText>("DeleteJobFileByName")(text); },
       "-1;1286;" + g259 + ";"},
      {"StartMigJob", [&] { return library_.Get<IntFromIntText>("StartMigJob")(7, text); },
       "7;1289;" + g259 + ";"},
      {"RunProcAsAdmin", [&] { return library_.Get<IntFromText>("RunProcAsAdmin")(text); },
       "-1;1291;" + g259 + ";"},
  };
  std::size_t sent = 0;
  for (const auto& c : cases) {
    if (Library().edition < tools::ExportNamed(c.name)->firstEdition) continue;
    EXPECT_EQ(c.call(), 0) << c.name;
    const std::vector<std::string> requests = service.Requests();
    ASSERT_EQ(requests.size(), ++sent) << c.name;
    // Edition 2 cuts the whole request text at 259 bytes.
    EXPECT_EQ(requests.back(), Frame(Library().edition == 2 ? c.sent.substr(0, 259) : c.sent))
        << c.name;
  }
  VirtualFree(pages, 0, MEM_RELEASE);
}

TEST_F(Exports, ZeroStatusClearsTheLastError) {
  ScriptedService service({});
  SetLastError(5);
  EXPECT_EQ(library_.Get<IntFromInt>("StartJob")(1), 0);
  EXPECT_EQ(GetLastError(), 0u);
  SetLastError(5);
  library_.Get<VoidFromVoid>("StartJobOnBoot")();
  EXPECT_EQ(GetLastError(), 0u);
}

TEST_F(Exports, NegativeServiceStatusesPassThrough) {
  ServiceBehaviour behaviour;
  behaviour.reply = [](const std::string&) { return Frame("1;-2147483648;no;"); };
  ScriptedService service(behaviour);
  EXPECT_EQ(library_.Get<IntFromInt>("CancelJob")(1), INT_MIN);
  EXPECT_EQ(GetLastError(), 0x80000000u);
}

TEST_F(Exports, NullTextsSendNothingAndReportInvalidParameter) {
  ScriptedService service({});
  std::vector<std::function<int()>> calls = {
      [this] { return library_.Get<IntFromText>("DeleteJobFileByName")(nullptr); }};
  if (Library().edition >= 3) {
    calls.push_back([this] { return library_.Get<IntFromIntText>("StartMigJob")(1, nullptr); });
    calls.push_back(
        [this] { return library_.Get<IntFromIntTextText>("StartSyncJob")(1, nullptr, "b"); });
    calls.push_back(
        [this] { return library_.Get<IntFromIntTextText>("StartSyncJob")(1, "a", nullptr); });
    calls.push_back([this] { return library_.Get<IntFromText>("RunProcAsAdmin")(nullptr); });
  }
  for (const auto& call : calls) {
    SetLastError(0);
    EXPECT_EQ(call(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_EQ(service.Connections(), 0);
}

TEST_F(Exports, TheEditionExportsItsOwnSet) {
  for (const char* name : {"StartMigJob", "StartSyncJob", "RunProcAsAdmin"}) {
    EXPECT_EQ(library_.Find(name) != nullptr, Library().edition >= 3) << name;
  }
  const FARPROC start = library_.Find("StartScheduler");
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(library_.Find("StopScheduler"), start);  // one body, two names
}

TEST_F(Exports, NVelmoraIsExportedOnlyUnderItsDecoratedName) {
  const auto* variable = reinterpret_cast<const int*>(library_.Find("?nVelmora@@3HA"));
  ASSERT_NE(variable, nullptr);
  EXPECT_EQ(*variable, 0);
  EXPECT_EQ(library_.Find("nVelmora"), nullptr);
  EXPECT_EQ(library_.Find("_nVelmora"), nullptr);
}

TEST_F(Exports, SchedulerCallsContactNobodyAndLeaveTheLastError) {
  // No service is running.
  for (const char* name : {"StartScheduler", "StopScheduler"}) {
    SetLastError(4242);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(library_.Get<IntFromVoid>(name)(), 0) << name;
    EXPECT_EQ(GetLastError(), 4242u) << name;
    EXPECT_LT(GetTickCount64() - start, 500u) << name;
  }
}

}  // namespace
}  // namespace velmora::test_support
