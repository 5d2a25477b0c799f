#include "scripted_service.h"

#include <cstdlib>
#include <stdexcept>

#include "job_frames.h"

namespace velmora::test_support {
namespace {

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
  tools::PipeServerSettings settings;
  settings.instances = behaviour_.instances;
  settings.messagePipe = behaviour_.messagePipe;
  server_ = std::make_unique<tools::PipeServer>(
      settings, [this](const std::string& request) { return Answer(request); });
  std::string error;
  if (!server_->Start(error)) throw std::runtime_error(error);
}

ScriptedService::~ScriptedService() = default;

std::vector<std::string> ScriptedService::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

// The reply as the behaviour shapes it: empty messages first, then the reply in pieces, cut
// short with a hang-up where asked.
tools::Answer ScriptedService::Answer(const std::string& request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
  tools::Answer answer;
  answer.delayMs = behaviour_.replyDelayMs;
  answer.messages.assign(behaviour_.emptyMessagesFirst, std::string());
  std::string reply = behaviour_.reply(request);
  answer.hangUp = behaviour_.hangUpAfter < reply.size();
  if (answer.hangUp) reply.resize(behaviour_.hangUpAfter);
  std::size_t offset = 0;
  for (const std::size_t piece : behaviour_.pieces) {
    if (offset + piece >= reply.size()) break;
    answer.messages.push_back(reply.substr(offset, piece));
    offset += piece;
  }
  if (offset < reply.size()) answer.messages.push_back(reply.substr(offset));
  return answer;
}

}  // namespace velmora::test_support
