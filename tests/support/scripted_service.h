// A scheduler service inside the test program, serving "\\.\pipe\pipe_job" the way a test asks:
// a number of instances, message or byte pipe, a delay, a reply split into pieces or cut short.
// It runs on the same pipe server as the development service.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pipe_server.h"

namespace velmora::test_support {

// The text of a frame padded with zero bytes to 1024.
std::string Frame(const std::string& text);

struct ServiceBehaviour {
  int instances = 1;
  bool messagePipe = true;
  DWORD replyDelayMs = 0;
  // The reply is written as messages of these sizes, the last one taking the rest; empty means
  // one message.
  std::vector<std::size_t> pieces;
  // Only this many bytes of the reply are sent before the service closes the connection.
  std::size_t hangUpAfter = SIZE_MAX;
  // Zero-length messages written before the reply, for as long as the client stays connected.
  std::size_t emptyMessagesFirst = 0;
  // The reply to a request frame; by default "job;0;ok;" as a frame.
  std::function<std::string(const std::string& request)> reply;
};

class ScriptedService {
 public:
  // Every instance exists and listens when the constructor returns.
  explicit ScriptedService(ServiceBehaviour behaviour);
  ~ScriptedService();
  ScriptedService(const ScriptedService&) = delete;
  ScriptedService& operator=(const ScriptedService&) = delete;

  // The request frames received, in the order they arrived.
  std::vector<std::string> Requests() const;
  // Connections accepted, including those that closed without sending a request.
  int Connections() const { return static_cast<int>(server_->Connections()); }

 private:
  tools::Answer Answer(const std::string& request);

  ServiceBehaviour behaviour_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::unique_ptr<tools::PipeServer> server_;
};

// The job number at the start of a request frame.
int RequestJob(const std::string& request);
// The command code that follows it.
int RequestCommand(const std::string& request);

}  // namespace velmora::test_support
