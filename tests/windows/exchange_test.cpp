// The exchange over real named pipes: what a reply longer than a frame leaves behind.
#include <gtest/gtest.h>

#include <string>

#include "library_test.h"
#include "scripted_service.h"

namespace velmora::testing {
namespace {

class Exchange : public LibraryTest {
 protected:
  int StartJob(int job) { return library_.Get<IntFromInt>("StartJob")(job); }
};

ServiceBehaviour ReplyingWith(const std::string& reply) {
  ServiceBehaviour behaviour;
  behaviour.reply = [reply](const std::string&) { return reply; };
  return behaviour;
}

TEST_F(Exchange, OversizedReplyIsDecodedFromItsFirst1024Bytes) {
  const std::string reply = Frame("5;55;big;") + std::string(1024, 'x');
  ScriptedService service(ReplyingWith(reply));
  EXPECT_EQ(StartJob(5), 55);
  EXPECT_EQ(GetLastError(), 55u);
  // The connection is closed at once; the service is free for the next caller.
  EXPECT_EQ(StartJob(5), 55);
  EXPECT_EQ(service.Requests().size(), 2u);
}

}  // namespace
}  // namespace velmora::testing
