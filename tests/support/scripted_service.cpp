#include "scripted_service.h"

#include <cstdlib>
#include <stdexcept>

#include "frames/service_protocol.h"
#include "job_frames.h"
#include "rules/rules.h"

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

ScriptedService::ScriptedService(ServiceBehaviour behaviour) : behaviour_(std::move(behaviour)) {
  if (!behaviour_.reply) behaviour_.reply = DefaultReply;
  devservice::RuleSet rules;
  std::string error;
  if (!behaviour_.rules.empty() && !devservice::ReadRules(behaviour_.rules, rules, error)) {
    throw std::runtime_error(error);
  }
  const std::uint64_t seed = rules.seed.value_or(1);
  planner_ = std::make_unique<devservice::Planner>(std::move(rules), seed, GetTickCount64());
  tools::PipeServerSettings settings;
  settings.instances = behaviour_.instances;
  settings.messagePipe = behaviour_.messagePipe;
  server_ = std::make_unique<tools::PipeServer>(settings, *this);
  if (!server_->Start(error)) throw std::runtime_error(error);
}

ScriptedService::~ScriptedService() {
  server_.reset();  // stops the workers before the planner goes
}

std::vector<std::string> ScriptedService::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool ScriptedService::HangUpOnConnect(const tools::Caller&) {
  return planner_->ForConnection(GetTickCount64()).has_value();
}

tools::PipeState ScriptedService::StateNow(std::uint64_t now, std::uint64_t& next) {
  return planner_->StateAt(now, next);
}

// The answer a rule plans, or else the reply as the behaviour shapes it, in pieces.
tools::Answer ScriptedService::OnRequest(const tools::Caller&, const std::string& request,
                                         std::size_t size) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
  const devservice::Request parsed = devservice::ParseRequest(request.data(), request.size(), size);
  if (const auto plan = planner_->ForRequest(parsed, GetTickCount64())) {
    return devservice::AnswerFor(*plan, parsed.jobId, {0, "ok"});
  }
  tools::Answer answer;
  const std::string reply = behaviour_.reply(request);
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
