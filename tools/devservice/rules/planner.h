// Carries out the rules: for each caller and request, which rule takes it and what to answer,
// as data for the pipe server; and what state the pipe is in at each moment. Times are
// milliseconds on the caller's clock; chance comes from one seeded generator, so a run with
// the same seed and the same requests in the same order plans the same answers.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "frames/job_table.h"
#include "pipe_service.h"
#include "rules/rules.h"

namespace velmora::devservice {

constexpr std::uint64_t kNoChange = UINT64_MAX;

struct Plan {
  std::size_t rule = 0;  // index in the rules
  std::string ruleName;
  std::size_t step = 0;  // index in the rule's steps
  Step what;             // the step's values, with the delay drawn
  std::string garbled;   // the drawn bytes of a garbled reply
  // Whether the job table is to carry the request out: the step leaves its status to the table,
  // or says "carry_out". A step that answers with a status of its own changes no job.
  bool NeedsJobTable() const;
};

// Which rules a request meets, judged against one set of rules without holding any lock:
// matching a pattern may take a while, and no other caller waits for it.
struct Matches {
  std::shared_ptr<const RuleSet> rules;
  std::vector<bool> holds;             // by rule
  std::vector<std::size_t> overBound;  // rules whose pattern gave up on this request's text
};

// What the planner makes of a request's matches.
struct Planned {
  bool current = true;  // false: the rules were replaced meanwhile; match again
  std::optional<Plan> plan;
  std::vector<std::string> firstOverBound;  // rules whose pattern gave up for the first time
};

class Planner {
 public:
  Planner(RuleSet rules, std::uint64_t seed, std::uint64_t nowMs);

  // New rules, in force at once: their windows and sequences start afresh at `nowMs`, and the
  // generator restarts from `seed`.
  void Replace(RuleSet rules, std::uint64_t seed, std::uint64_t nowMs);
  std::uint64_t Seed() const;

  // A hang-up as the caller connects, before its request is read: the first due rule that
  // takes every request decides.
  std::optional<Plan> ForConnection(std::uint64_t nowMs);
  // The rules this request meets; takes the lock only to pick up the rules in force.
  Matches Match(const Request& request) const;
  // The rule that takes the request, if any: the first that matches, is due and whose chance
  // comes up.
  Planned ForRequest(const Matches& matches, std::uint64_t nowMs);
  // Both at once.
  std::optional<Plan> ForRequest(const Request& request, std::uint64_t nowMs);
  // The pipe's state at `nowMs`, and in `next` when it may change (kNoChange: never).
  tools::PipeState StateAt(std::uint64_t nowMs, std::uint64_t& next);

 private:
  struct Progress {
    std::size_t step = 0;
    int used = 0;  // requests the step has taken
    bool passed = false;
    bool overBoundSaid = false;
  };
  bool Available(std::size_t rule, std::uint64_t nowMs) const;
  // When the rule's window opens (kNoChange: not known yet, it waits for requests).
  std::uint64_t WindowStart(std::size_t rule) const;
  bool Due(std::size_t rule, std::uint64_t nowMs) const;
  bool ChanceComesUp(const Rule& rule);
  Plan Take(std::size_t rule);

  mutable std::mutex mutex_;
  std::shared_ptr<const RuleSet> rules_;
  std::vector<Progress> progress_;
  std::uint64_t seed_ = 0;
  std::uint64_t startMs_ = 0;
  std::uint64_t requests_ = 0;           // read since the rules were put in force
  std::vector<std::uint64_t> openedAt_;  // by rule: when its request-counted window opened
  std::mt19937_64 random_;
};

// The answer a plan makes for a request; `table` is the job table's outcome, whose values fill
// what the plan leaves out.
tools::Answer AnswerFor(const Plan& plan, std::int32_t jobId, const Outcome& table);

}  // namespace velmora::devservice
