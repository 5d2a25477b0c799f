// Which session a caller's request belongs to, from the process tree as the system reports it.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "sessions/process_tree.h"
#include "sessions/session_table.h"

namespace velmora::devservice {
namespace {

// A process tree: pid -> {parent, creation time}.
ProcessLookup Tree(std::map<unsigned long, ProcessRecord> records) {
  return [records](unsigned long pid) -> std::optional<ProcessRecord> {
    const auto found = records.find(pid);
    if (found == records.end()) return std::nullopt;
    return found->second;
  };
}

// 10 runs the tests; 20 and 21 are test processes it started; 30 a host that 20 started, and 40
// a host 30 started. 50's parent ID 60 was reused by a process created after it; 70 and 71, and
// 80 and 81 (created at one tick), name each other as parent.
const std::map<unsigned long, ProcessRecord> kTree = {
    {10, {1, 100}},  {20, {10, 200}}, {21, {10, 210}}, {30, {20, 300}},
    {40, {30, 400}}, {50, {60, 500}}, {60, {10, 600}}, {70, {71, 700}},
    {71, {70, 690}}, {80, {81, 800}}, {81, {80, 800}}};

TEST(DevServiceSessions, ACallerMeetsTheInnermostSessionOverItsProcess) {
  const ProcessLookup lookup = Tree(kTree);
  SessionTable sessions;
  const auto runner = sessions.Open({10, 100}, "nightly", 5, 1, 0);
  const auto test = sessions.Open({20, 200}, "", 5, 1, 0);
  const auto host = sessions.Open({30, 300}, "", 5, 1, 0);
  const auto later = sessions.Open({30, 300}, "", 5, 1, 0);  // a second for the same process
  const auto stale = sessions.Open({21, 999}, "", 5, 1, 0);  // 21 as it was before: ended
  const struct {
    unsigned long caller;
    std::shared_ptr<Session> session;
  } rows[] = {
      {10, runner},  {20, test},    {40, later},  // a grandchild of 20, child of 30
      {21, runner},                               // not the 21 its session was opened for
      {50, nullptr},                              // its parent's ID now names another process
      {70, nullptr}, {99, nullptr}, {0, nullptr},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(sessions.Route(Ancestry(row.caller, lookup)), row.session) << row.caller;
  }
  // Records that loop end the walk: by their times, or at the bound.
  EXPECT_EQ(Ancestry(70, lookup).size(), 2u);
  EXPECT_EQ(Ancestry(80, lookup).size(), kMaxAncestry);
  EXPECT_EQ(sessions.Named("nightly"), runner);
  ASSERT_TRUE(sessions.End(later->id));
  EXPECT_FALSE(sessions.End(later->id));
  EXPECT_EQ(sessions.Route(Ancestry(40, lookup)), host);
  ASSERT_TRUE(sessions.End(host->id) && sessions.End(test->id) && sessions.End(runner->id));
  EXPECT_EQ(sessions.Route(Ancestry(40, lookup)), nullptr);
  EXPECT_EQ(stale->id, 5u);
}

// A remembered route must follow every opening and ending, and the walk be spared otherwise.
TEST(DevServiceSessions, ARememberedRouteFollowsTheSessionsAsTheyChange) {
  const ProcessLookup lookup = Tree(kTree);
  SessionTable sessions;
  int walks = 0;
  const auto route = [&](unsigned long pid) {
    return sessions.Route({pid, kTree.at(pid).created}, [&] {
      ++walks;
      return Ancestry(pid, lookup);
    });
  };
  EXPECT_EQ(route(40), nullptr);
  const auto test = sessions.Open({20, 200}, "", 5, 1, 0);
  EXPECT_EQ(route(40), test);
  EXPECT_EQ(route(40), test);
  EXPECT_EQ(walks, 2);
  const auto host = sessions.Open({30, 300}, "", 5, 1, 0);
  EXPECT_EQ(route(40), host);
  ASSERT_TRUE(sessions.End(host->id));
  EXPECT_EQ(route(40), test);
  ASSERT_TRUE(sessions.End(test->id));
  EXPECT_EQ(route(40), nullptr);
}

}  // namespace
}  // namespace velmora::devservice
