// A scheduler service inside the test program, serving "\\.\pipe\pipe_job" the way a test asks:
// a number of instances, message or byte pipe, a delay, a reply split into pieces or cut short.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
  int Connections() const { return connections_; }

 private:
  void Serve(HANDLE pipe);
  bool ReadRequest(HANDLE pipe, std::string& request);
  bool Send(HANDLE pipe, const std::string& bytes);
  void AwaitClientClose(HANDLE pipe);

  ServiceBehaviour behaviour_;
  HANDLE stop_;
  std::vector<HANDLE> pipes_;
  std::vector<std::thread> threads_;
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
};

// The job number at the start of a request frame.
int RequestJob(const std::string& request);
// The command code that follows it.
int RequestCommand(const std::string& request);

}  // namespace velmora::test_support
