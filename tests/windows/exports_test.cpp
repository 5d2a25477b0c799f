// Every export of the loaded Velmora.dll against the scripted service: the frame the service
// receives, the status returned and the thread's last error.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "library_test.h"
#include "scripted_service.h"

namespace velmora::testing {
namespace {

constexpr int kNoResult = -999;  // what a row's call gives for an export that returns nothing

const std::string k300(300, 'n');
const std::string k259(259, 'n');
const std::string kLongFirst(400, 'a');
const std::string kLongSecond(400, 'b');

struct ExportCase {
  const char* name;
  int firstEdition;  // the first edition that exports the function
  std::function<int(const VelmoraLibrary&)> call;
  std::string text;          // the request text the service receives
  std::string edition2Text;  // when edition 2 sends something else
};

const std::vector<ExportCase>& Cases() {
  using L = const VelmoraLibrary&;
  static const std::vector<ExportCase> cases = {
      {"StartJob", 2, [](L l) { return l.Get<IntFromInt>("StartJob")(5); }, "5;1279;;", ""},
      {"RestartJob", 2, [](L l) { return l.Get<IntFromInt>("RestartJob")(-6); }, "-6;1280;;", ""},
      {"CancelJob", 2, [](L l) { return l.Get<IntFromInt>("CancelJob")(0); }, "0;1281;;", ""},
      {"DeleteJob", 2, [](L l) { return l.Get<IntFromInt>("DeleteJob")(2147483647); },
       "2147483647;1282;;", ""},
      {"ChangeJobState on", 2, [](L l) { return l.Get<IntFromIntInt>("ChangeJobState")(7, 2); },
       "7;1283;true;", ""},
      {"ChangeJobState off", 2, [](L l) { return l.Get<IntFromIntInt>("ChangeJobState")(7, 0); },
       "7;1283;false;", ""},
      {"StartJobOnBoot", 2, [](L l) { return l.Get<VoidFromVoid>("StartJobOnBoot")(), kNoResult; },
       "-1;1284;;", ""},
      {"SetProcessPriority", 2,
       [](L l) { return l.Get<VoidFromInt>("SetProcessPriority")(2), kNoResult; }, "2;1285;;", ""},
      {"DeleteJobFile", 2, [](L l) { return l.Get<IntFromInt>("DeleteJobFile")(9); }, "9;1286;;",
       ""},
      {"DeleteJobFileByName", 2,
       [](L l) { return l.Get<IntFromText>("DeleteJobFileByName")("C:\\jobs\\a;b|c.txt"); },
       "-1;1286;C:\\jobs\\a;b|c.txt;", ""},
      {"DeleteJobFileByName 259 bytes", 2,
       [](L l) { return l.Get<IntFromText>("DeleteJobFileByName")(k259.c_str()); },
       "-1;1286;" + k259 + ";", "-1;1286;" + k259.substr(0, 251)},
      {"DeleteJobFileByName 300 bytes", 2,
       [](L l) { return l.Get<IntFromText>("DeleteJobFileByName")(k300.c_str()); },
       "-1;1286;" + k259 + ";", "-1;1286;" + k259.substr(0, 251)},
      {"DeleteJobProfile", 2, [](L l) { return l.Get<IntFromInt>("DeleteJobProfile")(4); },
       "4;1287;;", ""},
      {"StartMigJob", 3,
       [](L l) { return l.Get<IntFromIntText>("StartMigJob")(7, "src=\xE9t\xE9"); },
       "7;1289;src=\xE9t\xE9;", ""},
      {"StartMigJob 300 bytes", 3,
       [](L l) { return l.Get<IntFromIntText>("StartMigJob")(7, k300.c_str()); },
       "7;1289;" + k259 + ";", ""},
      {"StartSyncJob", 3,
       [](L l) { return l.Get<IntFromIntTextText>("StartSyncJob")(3, "a", "b"); }, "3;1290;a|b;",
       ""},
      {"StartSyncJob cut to the field", 3,
       [](L l) {
         return l.Get<IntFromIntTextText>("StartSyncJob")(3, kLongFirst.c_str(),
                                                          kLongSecond.c_str());
       },
       "3;1290;" + kLongFirst + "|" + std::string(122, 'b') + ";", ""},
      {"RunProcAsAdmin", 3,
       [](L l) { return l.Get<IntFromText>("RunProcAsAdmin")("notepad.exe C:\\a.txt"); },
       "-1;1291;notepad.exe C:\\a.txt;", ""},
  };
  return cases;
}

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
  for (const ExportCase& c : Cases()) {
    if (Library().edition < c.firstEdition) continue;
    status = 4000 + row++;
    SetLastError(12345);
    const int result = c.call(library_);
    const DWORD lastError = GetLastError();
    if (result != kNoResult) {
      EXPECT_EQ(result, status) << c.name;
    }
    EXPECT_EQ(lastError, static_cast<DWORD>(status)) << c.name;
    const std::vector<std::string> requests = service.Requests();
    ASSERT_EQ(requests.size(), ++sent) << c.name;
    const std::string& text =
        Library().edition == 2 && !c.edition2Text.empty() ? c.edition2Text : c.text;
    EXPECT_EQ(requests.back(), Frame(text)) << c.name;
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
    int firstEdition;
    std::function<int()> call;
    std::string sent;
  } cases[] = {
      {"DeleteJobFileByName", 2,
       [&] { return library_.Get<IntFromText>("DeleteJobFileByName")(text); },
       "-1;1286;" + g259 + ";"},
      {"StartMigJob", 3, [&] { return library_.Get<IntFromIntText>("StartMigJob")(7, text); },
       "7;1289;" + g259 + ";"},
      {"RunProcAsAdmin", 3, [&] { return library_.Get<IntFromText>("RunProcAsAdmin")(text); },
       "-1;1291;" + g259 + ";"},
  };
  std::size_t sent = 0;
  for (const auto& c : cases) {
    if (Library().edition < c.firstEdition) continue;
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
}  // namespace velmora::testing
