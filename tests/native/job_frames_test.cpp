// The request and reply frames, byte for byte.
#include "job_frames.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "fake_pipe_system.h"

namespace velmora {
namespace {

using test_support::Frame;

std::string Encode(std::int32_t jobId, std::int32_t command, const std::string& param,
                   std::size_t textBound) {
  JobRequest request{};
  request.jobId = jobId;
  request.command = command;
  std::memcpy(request.param, param.data(), param.size() < kParamSize ? param.size() : kParamSize);
  char frame[kFrameBufferSize];
  std::memset(frame, 0x5A, sizeof frame);  // whatever the buffer held must not show through
  EncodeRequest(request, textBound, frame);
  return std::string(frame, kFrameBufferSize);
}

struct EncodeCase {
  const char* name;
  std::int32_t jobId;
  std::int32_t command;
  std::string param;
  std::size_t textBound;
  std::string text;  // the frame's text; the rest of the buffer must be zero
};

const std::string k523(523, 'p');
const std::string k259Name(259, 'n');

const EncodeCase kEncodeCases[] = {
    {"no job, empty param", -1, 1284, "", kFrameSize, "-1;1284;;"},
    {"job and command", 5, 1279, "", kFrameSize, "5;1279;;"},
    {"param verbatim, bar kept", 3, 1290, "a|b", kFrameSize, "3;1290;a|b;"},
    {"param verbatim, separators kept", 7, 1289, "x;y;", kFrameSize, "7;1289;x;y;;"},
    {"8-bit bytes kept", 1, 1291, "\xE9\xFF", kFrameSize, "1;1291;\xE9\xFF;"},
    {"smallest job number", INT_MIN, 1280, "", kFrameSize, "-2147483648;1280;;"},
    {"largest job number", INT_MAX, 1281, "", kFrameSize, "2147483647;1281;;"},
    {"full param fits the frame", -2147483647 - 1, 1290, k523, kFrameSize,
     "-2147483648;1290;" + k523 + ";"},
    {"short text under the 260 bound", 5, 1279, "", kTextBound, "5;1279;;"},
    {"260 bound cuts inside param", -1, 1286, k259Name, kTextBound,
     ("-1;1286;" + k259Name + ";").substr(0, 259)},
    {"260 bound, text of exactly 259", -1, 1286, std::string(250, 'n'), kTextBound,
     "-1;1286;" + std::string(250, 'n') + ";"},
    {"bound past the frame is the frame", 5, 1279, "", 4096, "5;1279;;"},
    {"bound of one leaves only zeros", 5, 1279, "", 1, ""},
};

TEST(EncodeRequest, WritesTextThenZerosToTheEndOfTheBuffer) {
  for (const EncodeCase& c : kEncodeCases) {
    const std::string frame = Encode(c.jobId, c.command, c.param, c.textBound);
    std::string expected = Frame(c.text);
    expected.push_back('\0');
    EXPECT_EQ(frame, expected) << c.name;
  }
}

TEST(EncodeRequest, UnterminatedParamIsReadAsItsFirst523Bytes) {
  JobRequest request{};
  request.jobId = 1;
  request.command = 1289;
  std::memset(request.param, 'q', sizeof request.param);
  char frame[kFrameBufferSize];
  EncodeRequest(request, kFrameSize, frame);
  EXPECT_EQ(std::string(frame), "1;1289;" + std::string(523, 'q') + ";");
}

struct DecodeCase {
  const char* text;
  std::int32_t jobId;
  std::int32_t status;
  const char* message;
};

const DecodeCase kDecodeCases[] = {
    {"12;0;done;", 12, 0, "done"},
    {"12;-3;failed", 12, -3, "failed"},
    {";;5;;ok;", 5, 0, ""},
    {"7;;x;", 7, 0, ""},
    {"7;0", 7, 0, ""},
    {"5;0;started;", 5, 0, "started"},
    {"5;1168;no such job;extra;", 5, 1168, "no such job"},
    // Fewer fields than three: what is missing is 0 and empty.
    {"7", 7, 0, ""},
    {"7;", 7, 0, ""},
    {";;;", 0, 0, ""},
    {"abc", 0, 0, ""},
    {";", 0, 0, ""},
    {"1;2", 1, 2, ""},
    // The numbers convert as atoi does.
    {" \t+42;  -17x;m;", 42, -17, "m"},
    {"-;+;m", 0, 0, "m"},
    {"0x1F;08;m;", 0, 8, "m"},
    {"2147483647;-2147483648;m;", INT_MAX, INT_MIN, "m"},
    {"99999999999;-99999999999;m;", INT_MAX, INT_MIN, "m"},
    {"4294967297;1;m;", INT_MAX, 1, "m"},
};

TEST(DecodeReply, ReadsThreeFieldsByTheTokenRule) {
  for (const DecodeCase& c : kDecodeCases) {
    JobReply reply{};
    const std::string frame = Frame(c.text) + '\0';
    DecodeReply(reply, frame.data());
    EXPECT_EQ(reply.jobId, c.jobId) << c.text;
    EXPECT_EQ(reply.status, c.status) << c.text;
    EXPECT_STREQ(reply.message, c.message) << c.text;
  }
}

TEST(DecodeReply, EmptyTextLeavesTheRecordAsItWas) {
  JobReply reply{};
  reply.jobId = 3;
  reply.status = 4;
  const std::string zeros(kFrameBufferSize, '\0');
  DecodeReply(reply, zeros.data());
  EXPECT_EQ(reply.jobId, 3);
  EXPECT_EQ(reply.status, 4);
  EXPECT_STREQ(reply.message, "");
}

TEST(DecodeReply, KeepsTheFirst259BytesOfALongMessage) {
  for (std::size_t length : {258u, 259u, 260u, 263u, 400u, 1000u}) {
    const std::string message(length, 'm');
    const std::string text = "1;2;" + message + ";";
    JobReply reply{};
    std::memset(reply.message, 'X', sizeof reply.message);
    DecodeReply(reply, (Frame(text.substr(0, kFrameSize)) + '\0').data());
    EXPECT_EQ(std::string(reply.message), message.substr(0, 259)) << length;
    // The copy is bounded at 260: the field's last bytes are never written.
    EXPECT_EQ(std::string(reply.message + kTextBound, kMessageSize - kTextBound),
              std::string(kMessageSize - kTextBound, 'X'))
        << length;
  }
}

TEST(DecodeReply, NeverReadsPastTheFrameEvenWithoutATerminator) {
  // Exactly 1024 bytes on the heap, none of them zero: the sanitizer sees any read past them.
  const std::string text = "9;77;" + std::string(kFrameSize - 5, 'z');
  std::vector<char> frame(text.begin(), text.end());
  JobReply reply{};
  DecodeReply(reply, frame.data());
  EXPECT_EQ(reply.jobId, 9);
  EXPECT_EQ(reply.status, 77);
  EXPECT_EQ(std::string(reply.message), std::string(259, 'z'));
}

}  // namespace
}  // namespace velmora
