#include "fake_pipe_system.h"

#include <cstdint>
#include <cstring>

#include "bounded_text.h"
#include "job_frames.h"

namespace velmora::test_support {

std::string Frame(const std::string& text) {
  std::string frame = text;
  frame.resize(kFrameSize, '\0');
  return frame;
}

FakePipeSystem::FakePipeSystem(PipeScript script)
    : script_(std::move(script)), reads_(script_.reads.begin(), script_.reads.end()) {}

int FakePipeSystem::HandleNumber(Handle pipe, const char* operation) {
  const int number = static_cast<int>(reinterpret_cast<std::uintptr_t>(pipe));
  const bool open = number >= 1 && number <= opens_ && closes_.count(number) == 0;
  if (!open) misuse_.push_back(std::string(operation) + " on handle " + std::to_string(number));
  return number;
}

std::int32_t FakePipeSystem::Open(Handle& pipe) {
  calls_.push_back("open");
  const std::int32_t result =
      nextOpen_ < script_.opens.size() ? script_.opens[nextOpen_++] : kOpenPastScript;
  if (result == 0) pipe = reinterpret_cast<Handle>(static_cast<std::uintptr_t>(++opens_));
  return result;
}

std::int32_t FakePipeSystem::WaitForFreeInstance(std::uint32_t milliseconds) {
  calls_.push_back("wait " + std::to_string(milliseconds));
  return script_.wait;
}

std::int32_t FakePipeSystem::SetMessageMode(Handle pipe) {
  HandleNumber(pipe, "mode");
  calls_.push_back("mode");
  return script_.mode;
}

std::int32_t FakePipeSystem::Write(Handle pipe, const char* data, std::uint32_t size) {
  HandleNumber(pipe, "write");
  calls_.push_back("write " + std::to_string(size));
  if (script_.write == 0) written_.append(data, size);
  return script_.write;
}

std::int32_t FakePipeSystem::Read(Handle pipe, char* buffer, std::uint32_t size,
                                  std::uint32_t& received) {
  HandleNumber(pipe, "read");
  calls_.push_back("read " + std::to_string(size));
  received = 0;
  if (reads_.empty()) return kReadPastScript;
  ReadOutcome& next = reads_.front();
  const std::size_t count = next.bytes.size() < size ? next.bytes.size() : size;
  std::memcpy(buffer, next.bytes.data(), count);
  received = static_cast<std::uint32_t>(count);
  const std::int32_t error = next.error;
  if (error == 0 && count < next.bytes.size()) {
    next.bytes.erase(0, count);  // the rest of the message stays pending
    return kErrorMoreData;
  }
  reads_.pop_front();
  return error;
}

void FakePipeSystem::Close(Handle pipe) {
  const int number = HandleNumber(pipe, "close");
  calls_.push_back("close " + std::to_string(number));
  ++closes_[number];
}

void FakePipeSystem::Sleep(std::uint32_t milliseconds) {
  calls_.push_back("sleep " + std::to_string(milliseconds));
  ++sleeps_;
}

void FakePipeSystem::DescribeError(std::int32_t code, char* text, std::size_t bound) {
  calls_.push_back("describe " + std::to_string(code));
  CopyBounded(text, bound, ("error " + std::to_string(code)).c_str());
}

void FakePipeSystem::SetThreadError(std::int32_t code) {
  threadErrorSet_ = true;
  threadError_ = code;
}

bool FakePipeSystem::EveryHandleClosedOnce() const {
  if (!misuse_.empty()) return false;
  for (int number = 1; number <= opens_; ++number) {
    const auto found = closes_.find(number);
    if (found == closes_.end() || found->second != 1) return false;
  }
  return closes_.size() == static_cast<std::size_t>(opens_);
}

}  // namespace velmora::test_support
