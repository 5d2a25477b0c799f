#include "scripted_service.h"

#include <cstdlib>
#include <stdexcept>

#include "job_frames.h"
#include "pipe_server.h"

namespace velmora::test_support {
namespace {

using devservice::Io;
constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\pipe_job";

std::string DefaultReply(const std::string& request) {
  return Frame(std::to_string(RequestJob(request)) + ";0;ok;");
}

}  // namespace

std::string Frame(const std::string& text) {
  std::string frame = text;
  frame.resize(kFrameSize, '\0');
  return frame;
}

int RequestJob(const std::string& request) {
  return std::atoi(request.c_str());
}

int RequestCommand(const std::string& request) {
  const std::size_t separator = request.find(';');
  return separator == std::string::npos ? 0 : std::atoi(request.c_str() + separator + 1);
}

ScriptedService::ScriptedService(ServiceBehaviour behaviour) : behaviour_(std::move(behaviour)) {
  if (!behaviour_.reply) behaviour_.reply = DefaultReply;
  stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const DWORD type = behaviour_.messagePipe ? PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE
                                            : PIPE_TYPE_BYTE | PIPE_READMODE_BYTE;
  for (int i = 0; i < behaviour_.instances; ++i) {
    const HANDLE pipe = CreateNamedPipeW(
        kPipeName,
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        type | PIPE_WAIT, static_cast<DWORD>(behaviour_.instances), 4096, 4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
      throw std::runtime_error("cannot create the pipe: error " + std::to_string(GetLastError()));
    }
    pipes_.push_back(pipe);
  }
  // Each instance listens before the constructor returns, so a client finds it at once.
  std::vector<HANDLE> listening;
  for (HANDLE pipe : pipes_) {
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    listening.push_back(ready);
    threads_.emplace_back([this, pipe, ready] {
      SetEvent(ready);
      Serve(pipe);
    });
  }
  WaitForMultipleObjects(static_cast<DWORD>(listening.size()), listening.data(), TRUE, INFINITE);
  for (HANDLE ready : listening) CloseHandle(ready);
}

ScriptedService::~ScriptedService() {
  SetEvent(stop_);
  for (std::thread& thread : threads_) thread.join();
  for (HANDLE pipe : pipes_) CloseHandle(pipe);
  CloseHandle(stop_);
}

std::vector<std::string> ScriptedService::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool ScriptedService::ReadRequest(HANDLE pipe, std::string& request) {
  char buffer[kFrameSize];
  std::size_t received = 0;
  while (received < kFrameSize) {
    DWORD bytes = 0;
    if (devservice::Transfer(pipe, true, buffer + received,
                             static_cast<DWORD>(kFrameSize - received), bytes,
                             stop_) != Io::kDone) {
      return false;
    }
    received += bytes;
  }
  request.assign(buffer, kFrameSize);
  return true;
}

bool ScriptedService::Send(HANDLE pipe, const std::string& bytes) {
  std::string data = bytes;
  DWORD written = 0;
  return devservice::Transfer(pipe, false, data.data(), static_cast<DWORD>(data.size()), written,
                              stop_) == Io::kDone;
}

// The client closes once it has the whole reply; until then the connection stays up.
void ScriptedService::AwaitClientClose(HANDLE pipe) {
  char buffer[kFrameSize];
  DWORD bytes = 0;
  while (devservice::Transfer(pipe, true, buffer, sizeof buffer, bytes, stop_) == Io::kDone) {
  }
}

void ScriptedService::Serve(HANDLE pipe) {
  for (;;) {
    const Io accepted = devservice::AwaitClient(pipe, stop_);
    if (accepted == Io::kStopped) return;
    if (accepted == Io::kFailed) {
      DisconnectNamedPipe(pipe);
      continue;
    }
    ++connections_;

    std::string request;
    if (ReadRequest(pipe, request)) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      if (behaviour_.replyDelayMs > 0 &&
          WaitForSingleObject(stop_, behaviour_.replyDelayMs) == WAIT_OBJECT_0) {
        return;
      }
      bool connected = true;
      for (std::size_t i = 0; connected && i < behaviour_.emptyMessagesFirst; ++i) {
        connected = Send(pipe, std::string());
      }
      std::string reply = behaviour_.reply(request);
      const bool cut = behaviour_.hangUpAfter < reply.size();
      if (cut) reply.resize(behaviour_.hangUpAfter);
      std::size_t offset = 0;
      for (std::size_t piece : behaviour_.pieces) {
        if (offset + piece >= reply.size()) break;
        Send(pipe, reply.substr(offset, piece));
        offset += piece;
      }
      if (offset < reply.size()) Send(pipe, reply.substr(offset));
      if (cut) {
        FlushFileBuffers(pipe);  // the client has what was sent before the line drops
      } else {
        AwaitClientClose(pipe);
      }
    }
    DisconnectNamedPipe(pipe);
  }
}

}  // namespace velmora::test_support
