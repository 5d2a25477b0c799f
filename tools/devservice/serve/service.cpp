#include "serve/service.h"

#include <cstring>

#include "job_frames.h"

namespace velmora::devservice {
namespace {

// What the caller's call returns for a reply a rule wrote as bytes (raw, garbled): the library
// decodes the first frame of the first message; a shorter one leaves the caller waiting.
void DecodeWrittenReply(const tools::Answer& answer, Decision& decision) {
  if (answer.messages.empty() || answer.messages[0].size() < kFrameSize) return;
  char received[kFrameBufferSize] = {};
  std::memcpy(received, answer.messages[0].data(), kFrameSize);
  JobReply reply = {};
  DecodeReply(reply, received);
  decision.status = reply.status;
  decision.message = reply.message;
}

Decision ByRule(const Plan& plan) {
  Decision decision;
  decision.rule = plan.ruleName;
  decision.step = plan.step + 1;
  decision.action = ActionName(plan.what.action);
  return decision;
}

}  // namespace

Service::Service(const ServiceSettings& settings, JobTable& jobs, Planner& planner,
                 ServiceHooks hooks)
    : settings_(settings), jobs_(jobs), planner_(planner), hooks_(std::move(hooks)) {}

std::shared_ptr<Session> Service::SessionOf(const tools::Caller& caller) const {
  return hooks_.route ? hooks_.route(caller) : nullptr;
}

void Service::Record(std::uint64_t seq, std::uint64_t seed, const Request* request,
                     const Decision& decision) {
  const LogTime time = hooks_.utc();
  hooks_.console(ConsoleLine(seq, time, request, decision));
  if (hooks_.journal) hooks_.journal(JsonLine(seq, seed, time, request, decision));
}

bool Service::HangUpOnConnect(const tools::Caller& caller) {
  const std::shared_ptr<Session> session = SessionOf(caller);
  Planner& planner = session ? session->planner : planner_;
  std::lock_guard<std::mutex> lock(order_);
  if (stopping_) return false;
  const std::optional<Plan> plan = planner.ForConnection(hooks_.ticks());
  if (!plan) return false;
  Decision decision = ByRule(*plan);
  decision.session = session ? session->id : 0;
  Record(++seq_, planner.Seed(), nullptr, decision);
  if (hooks_.journal) hooks_.journal(OutcomeLine(seq_, tools::Delivery(), decision.session));
  return true;
}

tools::Answer Service::OnRequest(const tools::Caller& caller, const std::string& bytes,
                                 std::size_t size) {
  const Request request = ParseRequest(bytes.data(), bytes.size(), size);
  // The caller's session, if any, judges and carries out its request; it lives on until the
  // request is answered even if it ends meanwhile.
  const std::shared_ptr<Session> session = SessionOf(caller);
  Planner& planner = session ? session->planner : planner_;
  JobTable& jobs = session ? session->jobs : jobs_;
  // The request meets the rules before the lock is taken: a costly pattern holds up no one else.
  // Rules replaced meanwhile are met afresh.
  std::unique_lock<std::mutex> lock(order_, std::defer_lock);
  bool refusing = false;
  Planned planned;
  do {
    const Matches matches = request.wellFormed ? planner.Match(request) : Matches();
    lock.lock();
    refusing = stopping_ || (settings_.maxRequests > 0 && carriedOut_ >= settings_.maxRequests);
    // Rules take only well-formed frames: anything else is answered 87 and not carried out.
    // Nor does a request the service will not carry out use up a step of a rule.
    if (refusing || !request.wellFormed) break;
    planned = planner.ForRequest(matches, hooks_.ticks());
    if (!planned.current) lock.unlock();
  } while (!planned.current);
  tools::Answer answer;
  answer.tag = ++seq_;
  Decision decision;
  decision.session = session ? session->id : 0;
  if (decision.session != 0) sessionOfAnswer_[answer.tag] = decision.session;
  if (refusing) {
    decision.status = kStatusStopping;
    decision.message = stopping_ ? "stopping: not carried out" : "stopping: request limit reached";
    answer.messages = {FormatReply(request.jobId, *decision.status, decision.message)};
    Record(answer.tag, planner.Seed(), &request, decision);
    return answer;
  }
  const std::optional<Plan>& plan = planned.plan;
  if (plan) {
    const Outcome table = plan->NeedsJobTable() ? jobs.Execute(request) : Outcome{0, ""};
    answer = AnswerFor(*plan, request.jobId, table);
    answer.tag = seq_;
    const std::uint64_t inSession = decision.session;
    decision = ByRule(*plan);
    decision.session = inSession;
    if (plan->NeedsJobTable() || plan->what.status) {
      decision.status = plan->what.status.value_or(table.status);
      decision.message = plan->what.message.value_or(table.message);
    } else if (plan->what.action == Action::kRaw || plan->what.action == Action::kGarbled) {
      DecodeWrittenReply(answer, decision);
    }
  } else {
    const Outcome outcome = jobs.Execute(request);
    decision.status = outcome.status;
    decision.message = outcome.message;
    answer.delayMs = settings_.delayMs;
    if (settings_.hangUp) {
      decision.message = "(hung up before replying)";
      answer.hangUp = true;
    } else {
      answer.messages = {FormatReply(request.jobId, outcome.status, outcome.message)};
    }
  }
  Record(answer.tag, planner.Seed(), &request, decision);
  for (const std::string& rule : planned.firstOverBound) {
    hooks_.console(PatternBoundConsoleLine(answer.tag, rule));
    if (hooks_.journal) {
      hooks_.journal(PatternBoundLine(answer.tag, hooks_.utc(), rule, decision.session));
    }
  }
  if (++carriedOut_ == settings_.maxRequests && hooks_.limitReached) hooks_.limitReached();
  return answer;
}

void Service::OnDelivered(const tools::Answer& answer, const tools::Delivery& delivery) {
  std::uint64_t session = 0;
  {
    std::lock_guard<std::mutex> lock(order_);
    const auto found = sessionOfAnswer_.find(answer.tag);
    if (found != sessionOfAnswer_.end()) {
      session = found->second;
      sessionOfAnswer_.erase(found);
    }
  }
  if (hooks_.journal) hooks_.journal(OutcomeLine(answer.tag, delivery, session));
}

tools::PipeState Service::StateNow(std::uint64_t now, std::uint64_t& next) {
  const tools::PipeState state = planner_.StateAt(now, next);
  std::lock_guard<std::mutex> lock(order_);
  if (state != state_) {
    constexpr const char* kSaid[] = {"serving again", "busy: no instance takes a caller",
                                     "absent: no instance exists"};
    // cppcheck-suppress variableScope ; one table beside the other, both by state
    constexpr const char* kState[] = {"serving", "busy", "absent"};
    hooks_.console(std::string("velmora-devservice: the pipe is ") +
                   kSaid[static_cast<int>(state)] + "\n");
    // A call that met the outage reached no request line: the journal says when it was.
    if (hooks_.journal)
      hooks_.journal(PipeStateLine(hooks_.utc(), kState[static_cast<int>(state)]));
    state_ = state;
  }
  return state;
}

void Service::Stop() {
  std::lock_guard<std::mutex> lock(order_);
  stopping_ = true;
}

long Service::CarriedOut() const {
  std::lock_guard<std::mutex> lock(order_);
  return carriedOut_;
}

std::uint64_t Service::RequestsRead() const {
  std::lock_guard<std::mutex> lock(order_);
  return seq_;
}

void Service::Reset(bool jobs, bool numbering, const std::function<void()>& mark) {
  std::lock_guard<std::mutex> lock(order_);
  if (mark) mark();
  if (jobs) jobs_.Reset(settings_.jobs);
  if (numbering) seq_ = 0;
}

void Service::ResetSession(Session& session, bool jobs, bool journal,
                           const std::function<void()>& mark) {
  std::lock_guard<std::mutex> lock(order_);
  mark();
  if (jobs) session.jobs.Reset(settings_.jobs);
  if (journal) session.journalFrom = seq_ + 1;
}

}  // namespace velmora::devservice
