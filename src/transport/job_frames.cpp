#include "job_frames.h"

#include <cstdint>
#include <cstring>

#include "bounded_text.h"

namespace velmora {
namespace {

struct Token {
  const char* begin;
  std::size_t length;
};

// Splits the reply text at ";". A run of separators counts as one, so empty fields are never
// seen; once the text is used up every further token is empty.
class ReplyTokens {
 public:
  ReplyTokens(const char* text, std::size_t length) : text_(text), length_(length) {}

  Token Next() {
    while (position_ < length_ && text_[position_] == ';') ++position_;
    if (position_ >= length_) return Token{text_ + length_, 0};
    const std::size_t start = position_;
    while (position_ < length_ && text_[position_] != ';') ++position_;
    const Token token{text_ + start, position_ - start};
    ++position_;  // past the separator, or one past the end of the text
    return token;
  }

 private:
  const char* text_;
  std::size_t length_;
  std::size_t position_ = 0;
};

bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Decimal conversion as the C runtime's atoi does it: leading white space, an optional sign,
// digits up to the first non-digit, no digits giving 0. Values out of range saturate instead of
// overflowing, as the Windows runtime documents for atoi.
std::int32_t ParseLeadingInt(Token token) {
  std::size_t i = 0;
  while (i < token.length && IsSpace(token.begin[i])) ++i;
  bool negative = false;
  if (i < token.length && (token.begin[i] == '+' || token.begin[i] == '-')) {
    negative = token.begin[i] == '-';
    ++i;
  }
  const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT32_MIN) : INT32_MAX;
  std::int64_t value = 0;
  for (; i < token.length && token.begin[i] >= '0' && token.begin[i] <= '9'; ++i) {
    value = value * 10 + (token.begin[i] - '0');
    if (value > limit) {
      value = limit;
      break;
    }
  }
  return static_cast<std::int32_t>(negative ? -value : value);
}

}  // namespace

void EncodeRequest(const JobRequest& request, std::size_t textBound,
                   char (&frame)[kFrameBufferSize]) {
  // Two signed numbers, 523 bytes of param and three separators always fit.
  constexpr std::size_t kNumberDigits = 11;  // "-2147483648"
  char text[2 * kNumberDigits + kParamSize + 3];
  // The param field holds at most 523 bytes of text even if a caller left it unterminated.
  const int paramLength = static_cast<int>(BoundedLength(request.param, kParamSize - 1));
  const std::size_t length =
      FormatBounded(text, sizeof text, "%d;%d;%.*s;", static_cast<int>(request.jobId),
                    static_cast<int>(request.command), paramLength, request.param);
  std::memset(frame, 0, sizeof frame);
  if (textBound > kFrameSize) textBound = kFrameSize;
  CopyBounded(frame, textBound, text, length);
}

void DecodeReply(JobReply& reply, const char* text) {
  const std::size_t length = BoundedLength(text, kFrameSize);
  if (length == 0) return;  // an empty reply decodes nothing: the record keeps its fields
  ReplyTokens tokens(text, length);
  reply.jobId = ParseLeadingInt(tokens.Next());
  reply.status = ParseLeadingInt(tokens.Next());
  const Token message = tokens.Next();
  CopyBounded(reply.message, kTextBound, message.begin, message.length);
}

}  // namespace velmora
