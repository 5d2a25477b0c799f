// The development service's rules file: which requests to answer how, read from JSON into plain
// data. Nothing here touches a pipe or a clock; the planner carries the rules out.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmora::devservice {

struct Request;

// What a rule makes the service do. The first three act on the pipe before any request is read.
enum class Action {
  kBusy,              // no instance takes a caller while the rule is due
  kAbsent,            // the pipe does not exist while the rule is due
  kHangUpBeforeRead,  // the connection is closed as soon as the caller opens it
  kHangUpAfterRead,
  kHang,  // no answer until the caller leaves or the client time limit ends
  kReply,
  kRaw,
  kPartial,
  kOversize,
  kEmpty,
  kGarbled,
};
const char* ActionName(Action action);

// A text condition: the whole text, "contains:" a part, or "re:" an ECMAScript expression that
// must match the whole text.
struct TextMatch {
  enum class Kind { kExact, kContains, kRegex };
  struct Pattern;
  Kind kind = Kind::kExact;
  std::string pattern;
  std::shared_ptr<const Pattern> compiled;  // kRegex
  // Whether `text` meets the condition. A pattern whose matching exceeds its bound does not
  // match, and sets `*overBound`.
  bool Holds(const std::string& text, bool* overBound = nullptr) const;
};
// Reads "contains:...", "re:..." or an exact text; false with the reason for a bad or oversized
// expression.
bool ReadTextMatch(const std::string& spec, TextMatch& match, std::string& error);

// Every condition given must hold; none given takes every request.
struct Match {
  std::optional<std::int32_t> command;  // "export" is kept as its code
  std::optional<std::int32_t> job;
  std::optional<TextMatch> text;
  bool TakesEverything() const { return !command && !job && !text; }
  bool Holds(const Request& request, bool* overBound = nullptr) const;
};

constexpr std::size_t kEndless = SIZE_MAX;

struct Step {
  Action action = Action::kReply;
  int times = 0;  // 0: without end
  std::uint32_t delayMin = 0, delayMax = 0;
  std::optional<std::int32_t> status;  // reply-shaped actions: the job table's value if left out
  std::optional<std::string> message;
  // Whether the job table carries the request out: by default only when `status` is left out,
  // so that a host told its call failed finds the job unchanged.
  std::optional<bool> carryOut;
  std::string text;       // raw
  bool pad = true;        // raw
  std::size_t bytes = 0;  // partial, oversize, garbled
  std::size_t count = 0;  // empty; kEndless for "forever"
};

struct Rule {
  std::string name;
  Match match;
  std::vector<Step> steps;
  enum class Then { kStay, kCycle, kPass } then = Then::kStay;
  double probability = 1.0;
  std::uint64_t afterMs = 0;
  // Instead of afterMs: the window opens once this many requests have been read since the
  // start (or the last reload), before the next one is; forMs then counts from that moment.
  std::optional<std::uint64_t> afterRequests;
  std::optional<std::uint64_t> forMs;  // from afterMs, or from the window's opening
};

struct RuleSet {
  std::optional<std::uint64_t> seed;
  std::vector<Rule> rules;
};

// Reads a rules file's text. On a mistake returns false and `error` says where ("line 7: ...")
// and why; `rules` is then unchanged.
bool ReadRules(const std::string& json, RuleSet& rules, std::string& error);

// One rule that takes every request, from --fault ACTION[:ARGUMENT] ("busy", "empty:forever",
// "partial:100", "reply:1460").
bool PresetRules(const std::string& fault, RuleSet& rules, std::string& error);
// The step a preset stands for, as JSON ({"do": "partial", "bytes": 100}); empty, with the
// reason, when its argument is not a number. The action itself is checked by PresetRules.
std::string PresetStep(const std::string& fault, std::string& error);

}  // namespace velmora::devservice
