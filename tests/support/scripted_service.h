// A scheduler service inside the test program, serving "\\.\pipe\pipe_job" the way a test asks:
// a number of instances, message or byte pipe, a reply split into pieces, and whatever else the
// development service's rules can make a service do (hang-ups, short, oversize and empty
// replies, delays, a busy or absent pipe). It runs on the same pipe server and the same rules
// engine as the development service.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pipe_server.h"
#include "rules/planner.h"

namespace velmora::test_support {

// The text of a frame padded with zero bytes to 1024.
std::string Frame(const std::string& text);

struct ServiceBehaviour {
  int instances = 1;
  bool messagePipe = true;
  // A rules file's text; a request no rule takes gets `reply`.
  std::string rules;
  // The reply is written as messages of these sizes, the last one taking the rest; empty means
  // one message.
  std::vector<std::size_t> pieces;
  // The reply to a request frame; by default "job;0;ok;" as a frame.
  std::function<std::string(const std::string& request)> reply;
};

class ScriptedService : public tools::PipeService {
 public:
  // Every instance exists and listens (unless the rules say otherwise) when the constructor
  // returns.
  explicit ScriptedService(ServiceBehaviour behaviour);
  ~ScriptedService() override;
  ScriptedService(const ScriptedService&) = delete;
  ScriptedService& operator=(const ScriptedService&) = delete;

  // The request frames received, in the order they arrived.
  std::vector<std::string> Requests() const;
  // Connections accepted, including those that closed without sending a request.
  int Connections() const { return static_cast<int>(server_->Connections()); }

  bool HangUpOnConnect(const tools::Caller& caller) override;
  tools::Answer OnRequest(const tools::Caller& caller, const std::string& request,
                          std::size_t size) override;
  tools::PipeState StateNow(std::uint64_t now, std::uint64_t& next) override;

 private:
  ServiceBehaviour behaviour_;
  std::unique_ptr<devservice::Planner> planner_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::unique_ptr<tools::PipeServer> server_;
};

// The job number at the start of a request frame.
int RequestJob(const std::string& request);

}  // namespace velmora::test_support
