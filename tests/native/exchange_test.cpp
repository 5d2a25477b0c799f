// The connect budget, the busy wait and the read loop, against the scripted pipes.
#include "exchange.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_pipe_system.h"

namespace velmora {
namespace {

using test_support::FakePipeSystem;
using test_support::Frame;
using test_support::Message;
using test_support::PipeScript;
using test_support::ReadFailure;
using test_support::Script;

const std::string kReply = Frame("5;17;started;");
const std::vector<std::string> kExchange = {"mode", "write 1024", "read 1024", "close 1"};

template <typename T>
std::vector<T> Then(std::vector<T> first, const std::vector<T>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}
std::vector<std::string> Then(std::vector<std::string> first,
                              const std::vector<std::string>& second) {
  return Then<std::string>(std::move(first), second);
}
template <typename T>
std::vector<T> Repeat(const T& item, std::size_t times) {
  return std::vector<T>(times, item);
}
std::vector<std::string> Repeat(const char* call, std::size_t times) {
  return Repeat(std::string(call), times);
}

struct ExchangeCase {
  const char* name;
  PipeScript script;
  std::int32_t result;
  std::vector<std::string> calls;
};

const ExchangeCase kCases[] = {
    // Connecting.
    {"pipe there at once", Script().Opens({0}).Reads({Message(kReply)}), 17,
     Then({"open"}, kExchange)},
    {"pipe missing on all three attempts",
     Script().Opens({2, 2, 2}),
     2,
     {"open", "sleep 1000", "open", "sleep 1000", "open", "describe 2"}},
    {"pipe appears at the second attempt", Script().Opens({2, 0}).Reads({Message(kReply)}), 17,
     Then({"open", "sleep 1000", "open"}, kExchange)},
    {"pipe appears at the third attempt", Script().Opens({2, 2, 0}).Reads({Message(kReply)}), 17,
     Then({"open", "sleep 1000", "open", "sleep 1000", "open"}, kExchange)},
    {"busy, freed within the wait", Script().Opens({231, 0}).Reads({Message(kReply)}), 17,
     Then({"open", "wait 5000", "open"}, kExchange)},
    {"busy, the wait times out",
     Script().Opens({231}).Wait(121),
     121,
     {"open", "wait 5000", "describe 121"}},
    {"busy, another caller takes the freed instance",
     Script().Opens({231, 231}),
     231,
     {"open", "wait 5000", "open", "describe 231"}},
    {"busy, the pipe goes away before the second open",
     Script().Opens({231, 2}),
     2,
     {"open", "wait 5000", "open", "describe 2"}},
    {"missing, then busy, then free", Script().Opens({2, 231, 0}).Reads({Message(kReply)}), 17,
     Then({"open", "sleep 1000", "open", "wait 5000", "open"}, kExchange)},
    {"access denied is not retried", Script().Opens({5}), 5, {"open", "describe 5"}},
    {"bad pipe name is not retried", Script().Opens({161}), 161, {"open", "describe 161"}},
    // Exchanging.
    {"mode cannot be set",
     Script().Opens({0}).Mode(87),
     87,
     {"open", "mode", "describe 87", "close 1"}},
    {"write fails",
     Script().Opens({0}).Write(232),
     232,
     {"open", "mode", "write 1024", "describe 232", "close 1"}},
    {"reply in two messages of 512",
     Script().Opens({0}).Reads({Message(kReply.substr(0, 512)), Message(kReply.substr(512))}),
     17,
     {"open", "mode", "write 1024", "read 1024", "read 512", "close 1"}},
    {"reply in four messages",
     Script().Opens({0}).Reads({Message(kReply.substr(0, 3)), Message(kReply.substr(3, 5)),
                                Message(kReply.substr(8, 16)), Message(kReply.substr(24))}),
     17,
     {"open", "mode", "write 1024", "read 1024", "read 1021", "read 1016", "read 1000", "close 1"}},
    {"a zero-length message adds nothing",
     Script().Opens({0}).Reads({Message(""), Message(kReply)}),
     17,
     {"open", "mode", "write 1024", "read 1024", "read 1024", "close 1"}},
    {"a few zero-length messages add nothing",
     Script().Opens({0}).Reads(Then(Repeat(Message(""), 64), {Message(kReply)})), 17,
     Then(Then({"open", "mode", "write 1024"}, Repeat("read 1024", 65)), {"close 1"})},
    {"a flood of zero-length messages ends the exchange",
     Script().Opens({0}).Reads(Repeat(Message(""), 65)), 230,
     Then(Then({"open", "mode", "write 1024"}, Repeat("read 1024", 65)),
          {"describe 230", "close 1"})},
    {"empty messages count after part of the reply",
     Script().Opens({0}).Reads(Then({Message(kReply.substr(0, 100))}, Repeat(Message(""), 65))),
     230,
     Then(Then({"open", "mode", "write 1024", "read 1024"}, Repeat("read 924", 65)),
          {"describe 230", "close 1"})},
    {"service closes after 100 bytes",
     Script().Opens({0}).Reads({Message(kReply.substr(0, 100)), ReadFailure(109)}),
     109,
     {"open", "mode", "write 1024", "read 1024", "read 924", "describe 109", "close 1"}},
    {"service disconnects before replying",
     Script().Opens({0}).Reads({ReadFailure(233)}),
     233,
     {"open", "mode", "write 1024", "read 1024", "describe 233", "close 1"}},
    {"oversized message ends the loop at 1024 bytes",
     Script().Opens({0}).Reads({Message(kReply + std::string(1024, 'x'))}), 17,
     Then({"open"}, kExchange)},
    {"oversized second message fills the frame",
     Script().Opens({0}).Reads({Message(kReply.substr(0, 1000)), Message(std::string(2000, '\0'))}),
     17,
     {"open", "mode", "write 1024", "read 1024", "read 24", "close 1"}},
    {"reply decoded as sent: status is the service's own",
     Script().Opens({0}).Reads({Message(Frame("-1;-5;bad;"))}), -5, Then({"open"}, kExchange)},
    {"all-zero reply gives status 0", Script().Opens({0}).Reads({Message(Frame(""))}), 0,
     Then({"open"}, kExchange)},
};

TEST(ExchangeWithService, FollowsTheScriptToItsResult) {
  char request[kFrameBufferSize] = "5;1279;;";
  for (const ExchangeCase& c : kCases) {
    FakePipeSystem pipes(c.script);
    JobReply reply{};
    const std::int32_t result = ExchangeWithService(reply, request, pipes);
    EXPECT_EQ(result, c.result) << c.name;
    EXPECT_EQ(reply.status, result) << c.name;
    EXPECT_EQ(pipes.calls(), c.calls) << c.name;
    EXPECT_TRUE(pipes.EveryHandleClosedOnce()) << c.name;
    EXPECT_TRUE(pipes.misuse().empty()) << c.name;
    EXPECT_LE(pipes.opens(), 1) << c.name;
  }
}

TEST(ExchangeWithService, WritesTheWholeRequestFrame) {
  char request[kFrameBufferSize] = {};
  const std::string text = "3;1290;a|b;";
  text.copy(request, text.size());
  FakePipeSystem pipes(Script().Opens({0}).Reads({Message(kReply)}));
  JobReply reply{};
  ExchangeWithService(reply, request, pipes);
  EXPECT_EQ(pipes.written(), Frame(text));
}

TEST(ExchangeWithService, KeepsTheFailureTextOrTheReplyMessage) {
  char request[kFrameBufferSize] = "5;1279;;";
  struct {
    PipeScript script;
    const char* message;
  } cases[] = {
      {Script().Opens({2, 2, 2}), "error 2"},
      {Script().Opens({0}).Mode(87), "error 87"},
      {Script().Opens({0}).Reads({ReadFailure(109)}), "error 109"},
      {Script().Opens({0}).Reads({Message(kReply)}), "started"},
  };
  for (const auto& c : cases) {
    FakePipeSystem pipes(c.script);
    JobReply reply{};
    ExchangeWithService(reply, request, pipes);
    EXPECT_STREQ(reply.message, c.message);
  }
}

TEST(ExchangeWithService, StartsTheConnectBudgetAfreshForEveryCall) {
  char request[kFrameBufferSize] = "5;1279;;";
  for (int call = 0; call < 3; ++call) {
    FakePipeSystem pipes(Script().Opens({2, 2, 2, 2, 2}));
    JobReply reply{};
    EXPECT_EQ(ExchangeWithService(reply, request, pipes), 2);
    EXPECT_EQ(pipes.sleeps(), 2);
  }
}

}  // namespace
}  // namespace velmora
