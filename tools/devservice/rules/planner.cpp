#include "rules/planner.h"

#include "frames/service_protocol.h"

namespace velmora::devservice {
namespace {

bool ActsOnThePipe(Action action) {
  return action == Action::kBusy || action == Action::kAbsent;
}

}  // namespace

bool Plan::NeedsJobTable() const {
  switch (what.action) {
    case Action::kReply:
    case Action::kPartial:
    case Action::kOversize:
    case Action::kEmpty:
      return what.carryOut.value_or(!what.status);
    default:
      return false;
  }
}

Planner::Planner(RuleSet rules, std::uint64_t seed, std::uint64_t nowMs) {
  Replace(std::move(rules), seed, nowMs);
}

void Planner::Replace(RuleSet rules, std::uint64_t seed, std::uint64_t nowMs) {
  auto shared = std::make_shared<const RuleSet>(std::move(rules));
  std::lock_guard<std::mutex> lock(mutex_);
  rules_ = std::move(shared);
  progress_.assign(rules_->rules.size(), Progress());
  requests_ = 0;
  openedAt_.assign(rules_->rules.size(), kNoChange);
  for (std::size_t i = 0; i < rules_->rules.size(); ++i) {
    if (rules_->rules[i].afterRequests == 0u) openedAt_[i] = nowMs;
  }
  seed_ = seed;
  startMs_ = nowMs;
  random_.seed(seed);
}

std::uint64_t Planner::Seed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return seed_;
}

bool Planner::Available(std::size_t rule, std::uint64_t nowMs) const {
  return !progress_[rule].passed && Due(rule, nowMs);
}

std::uint64_t Planner::WindowStart(std::size_t index) const {
  const Rule& rule = rules_->rules[index];
  return rule.afterRequests ? openedAt_[index] : startMs_ + rule.afterMs;
}

bool Planner::Due(std::size_t index, std::uint64_t nowMs) const {
  const std::uint64_t start = WindowStart(index);
  const std::optional<std::uint64_t>& length = rules_->rules[index].forMs;
  return start != kNoChange && nowMs >= start && (!length || nowMs - start < *length);
}

// Drawn only for a probability strictly between 0 and 1, so that 0 never fires, 1 always does,
// and neither moves the generator.
bool Planner::ChanceComesUp(const Rule& rule) {
  if (rule.probability >= 1.0) return true;
  if (rule.probability <= 0.0) return false;
  const double draw = static_cast<double>(random_() >> 11) * 0x1.0p-53;  // [0, 1)
  return draw < rule.probability;
}

Plan Planner::Take(std::size_t index) {
  const Rule& rule = rules_->rules[index];
  Progress& progress = progress_[index];
  Plan plan{index, rule.name, progress.step, rule.steps[progress.step], ""};
  Step& what = plan.what;
  if (what.delayMax > what.delayMin) {
    what.delayMin += static_cast<std::uint32_t>(random_() % (what.delayMax - what.delayMin + 1));
  }
  what.delayMax = what.delayMin;
  if (what.action == Action::kGarbled) {
    for (std::size_t i = 0; i < what.bytes; ++i) {
      plan.garbled += static_cast<char>(random_() & 0xFF);
    }
  }
  if (what.times > 0 && ++progress.used == what.times) {
    progress.used = 0;
    if (progress.step + 1 < rule.steps.size()) {
      ++progress.step;
    } else if (rule.then == Rule::Then::kCycle) {
      progress.step = 0;
    } else if (rule.then == Rule::Then::kPass) {
      progress.passed = true;
    }
  }
  return plan;
}

std::optional<Plan> Planner::ForConnection(std::uint64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < rules_->rules.size(); ++i) {
    const Rule& rule = rules_->rules[i];
    if (!Available(i, nowMs) || !rule.match.TakesEverything() ||
        ActsOnThePipe(rule.steps[0].action)) {
      continue;
    }
    // A rule that would take every request but does not hang up here leaves the caller to
    // the request's own turn.
    if (rule.steps[progress_[i].step].action != Action::kHangUpBeforeRead) return std::nullopt;
    if (ChanceComesUp(rule)) return Take(i);
  }
  return std::nullopt;
}

Matches Planner::Match(const Request& request) const {
  Matches matches;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    matches.rules = rules_;
  }
  const std::vector<Rule>& rules = matches.rules->rules;
  matches.holds.resize(rules.size());
  for (std::size_t i = 0; i < rules.size(); ++i) {
    bool overBound = false;
    matches.holds[i] = rules[i].match.Holds(request, &overBound);
    if (overBound) matches.overBound.push_back(i);
  }
  return matches;
}

Planned Planner::ForRequest(const Matches& matches, std::uint64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  Planned planned;
  if (matches.rules != rules_) {
    planned.current = false;
    return planned;
  }
  for (const std::size_t i : matches.overBound) {
    if (!progress_[i].overBoundSaid) planned.firstOverBound.push_back(rules_->rules[i].name);
    progress_[i].overBoundSaid = true;
  }
  for (std::size_t i = 0; i < rules_->rules.size(); ++i) {
    const Rule& rule = rules_->rules[i];
    if (Available(i, nowMs) && !ActsOnThePipe(rule.steps[0].action) && matches.holds[i] &&
        ChanceComesUp(rule)) {
      planned.plan = Take(i);
      break;
    }
  }
  // This request counts towards the windows that wait for requests; it is not judged by them.
  ++requests_;
  for (std::size_t i = 0; i < rules_->rules.size(); ++i) {
    if (rules_->rules[i].afterRequests == requests_) openedAt_[i] = nowMs;
  }
  return planned;
}

std::optional<Plan> Planner::ForRequest(const Request& request, std::uint64_t nowMs) {
  for (;;) {
    Planned planned = ForRequest(Match(request), nowMs);
    if (planned.current) return std::move(planned.plan);
  }
}

tools::PipeState Planner::StateAt(std::uint64_t nowMs, std::uint64_t& next) {
  std::lock_guard<std::mutex> lock(mutex_);
  tools::PipeState state = tools::PipeState::kServing;
  bool decided = false;
  next = kNoChange;
  for (std::size_t i = 0; i < rules_->rules.size(); ++i) {
    const Rule& rule = rules_->rules[i];
    const Action action = rule.steps[0].action;
    if (!ActsOnThePipe(action)) continue;
    // A window that waits for requests opens when one is read; the server asks again then.
    const std::uint64_t start = WindowStart(i);
    if (start != kNoChange && nowMs < start) {
      next = std::min(next, start);
    } else if (start != kNoChange && rule.forMs && nowMs - start < *rule.forMs) {
      next = std::min(next, start + *rule.forMs);
    }
    if (!decided && Due(i, nowMs)) {
      decided = true;
      state = action == Action::kBusy ? tools::PipeState::kBusy : tools::PipeState::kAbsent;
    }
  }
  return state;
}

tools::Answer AnswerFor(const Plan& plan, std::int32_t jobId, const Outcome& table) {
  const Step& what = plan.what;
  tools::Answer answer;
  answer.delayMs = what.delayMin;
  const std::string reply =
      FormatReply(jobId, what.status.value_or(table.status), what.message.value_or(table.message));
  switch (what.action) {
    case Action::kReply:
      answer.messages = {reply};
      break;
    case Action::kRaw: {
      std::string frame = what.text;
      if (what.pad && frame.size() < kFrameSize) frame.resize(kFrameSize, '\0');
      answer.messages = {frame};
      break;
    }
    case Action::kPartial:
      answer.messages = {reply.substr(0, what.bytes)};
      answer.hangUp = true;
      break;
    case Action::kOversize:
      answer.messages = {reply + std::string(what.bytes, 'x')};
      break;
    case Action::kEmpty:
      answer.emptyMessages = what.count == kEndless ? tools::kUntilTheCallerLeaves : what.count;
      answer.messages = {reply};
      break;
    case Action::kGarbled:
      answer.messages = {plan.garbled};
      break;
    case Action::kHangUpBeforeRead:
    case Action::kHangUpAfterRead:
      answer.hangUp = true;
      break;
    case Action::kHang:
    case Action::kBusy:
    case Action::kAbsent:
      break;
  }
  return answer;
}

}  // namespace velmora::devservice
