#include "rules/rules.h"

#include <algorithm>
#include <boost/regex.hpp>
#include <limits>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include "decimal.h"
#include "export_table.h"
#include "frames/service_protocol.h"
#include "text/json_text.h"
#include "text/text_model.h"

namespace velmora::devservice {
namespace {

using Json = nlohmann::json;

struct ActionInfo {
  Action action;
  const char* name;
  // cppcheck-suppress unusedStructMember ; the values it takes besides "do", "times", "delay_ms"
  const char* keys;
};
constexpr ActionInfo kActions[] = {
    {Action::kBusy, "busy", ""},
    {Action::kAbsent, "absent", ""},
    {Action::kHangUpBeforeRead, "hang-up-before-read", ""},
    {Action::kHangUpAfterRead, "hang-up-after-read", ""},
    {Action::kHang, "hang", ""},
    {Action::kReply, "reply", " status message carry_out "},
    {Action::kRaw, "raw", " text pad "},
    {Action::kPartial, "partial", " bytes status message carry_out "},
    {Action::kOversize, "oversize", " bytes status message carry_out "},
    {Action::kEmpty, "empty", " count status message carry_out "},
    {Action::kGarbled, "garbled", " bytes "},
};

constexpr std::uint32_t kMaxDelayMs = 3600000;
constexpr std::size_t kMaxExtraBytes = 1 << 20;
// A rules file needs five levels; far deeper ones would only exhaust the reader's stack.
constexpr std::size_t kMaxDepth = 32;
// A pattern is compiled by recursion over its groups: both bounds keep that shallow.
constexpr std::size_t kMaxPatternBytes = 1024;
constexpr int kMaxPatternGroupDepth = 32;

// A mistake found at a byte of the file.
struct Refusal {
  std::size_t offset;
  std::string reason;
};

// Reads one rules file, knowing where in its text each rule begins, so that a mistake can be
// given its line.
class Reader {
 public:
  Reader(const std::string& text, std::vector<std::size_t> ruleStarts)
      : text_(text), ruleStarts_(std::move(ruleStarts)) {}

  RuleSet Read(const Json& root) {
    RuleSet set;
    Require(root.is_object(), 0, "the file must hold one JSON object with \"rules\"");
    for (const auto& [key, value] : root.items()) {
      const std::size_t at = KeyOffset(0, key);
      if (key == "seed") {
        Require(value.is_number_unsigned(), at, "\"seed\" must be a whole number from 0");
        set.seed = value.get<std::uint64_t>();
      } else if (key == "$schema" || key == "comment") {
        // Where an editor finds the file's schema, or a note for its readers: the service has
        // its own checks, and no use for a note.
        Require(value.is_string(), at, "\"" + key + "\" must be a text");
      } else if (key != "rules") {
        throw Refusal{at,
                      "unknown key \"" + key +
                          "\" (the file takes \"seed\", \"rules\", \"comment\" and \"$schema\")"};
      }
    }
    const auto rules = root.find("rules");
    Require(rules != root.end() && rules->is_array(), 0, "\"rules\" must be a list of rules");
    std::unordered_set<std::string> names;
    for (std::size_t i = 0; i < rules->size(); ++i) {
      set.rules.push_back(ReadRule((*rules)[i], i));
      Require(names.insert(set.rules[i].name).second, RuleStart(i),
              "two rules are named \"" + set.rules[i].name + "\"");
    }
    return set;
  }

 private:
  static void Require(bool holds, std::size_t offset, const std::string& reason) {
    if (!holds) throw Refusal{offset, reason};
  }

  std::size_t RuleStart(std::size_t rule) const {
    return rule < ruleStarts_.size() ? ruleStarts_[rule] : 0;
  }
  // Where "key" first appears from `from` on; `from` itself when it does not.
  std::size_t KeyOffset(std::size_t from, const std::string& key) const {
    const std::size_t at = text_.find('"' + key + '"', from);
    return at == std::string::npos ? from : at;
  }

  template <typename T>
  T Whole(const Json& value, long long minimum, long long maximum, std::size_t at,
          const std::string& key) const {
    const bool whole =
        value.is_number_integer() && value.get<long long>() >= minimum &&
        value.get<long long>() <= maximum &&
        !(value.is_number_unsigned() &&
          value.get<unsigned long long>() > static_cast<unsigned long long>(maximum));
    Require(whole, at,
            "\"" + key + "\" must be a whole number from " + std::to_string(minimum) + " to " +
                std::to_string(maximum));
    return static_cast<T>(value.get<long long>());
  }

  Rule ReadRule(const Json& object, std::size_t index) {
    const std::size_t start = RuleStart(index);
    Require(object.is_object(), start, "each rule must be a JSON object");
    Rule rule;
    rule.name = "rule " + std::to_string(index + 1);
    Json stepKeys = Json::object();
    for (const auto& [key, value] : object.items()) {
      const std::size_t at = KeyOffset(start, key);
      if (key == "name") {
        Require(value.is_string() && !value.get<std::string>().empty(), at,
                "\"name\" must be a text");
        rule.name = value.get<std::string>();
      } else if (key == "match") {
        rule.match = ReadMatch(value, at);
      } else if (key == "then") {
        const std::string then = value.is_string() ? value.get<std::string>() : "";
        Require(then == "stay" || then == "cycle" || then == "pass", at,
                "\"then\" must be \"stay\", \"cycle\" or \"pass\"");
        rule.then = then == "stay"    ? Rule::Then::kStay
                    : then == "cycle" ? Rule::Then::kCycle
                                      : Rule::Then::kPass;
      } else if (key == "probability") {
        Require(value.is_number() && value.get<double>() >= 0 && value.get<double>() <= 1, at,
                "\"probability\" must be a number from 0 to 1");
        rule.probability = value.get<double>();
      } else if (key == "after_ms") {
        rule.afterMs =
            Whole<std::uint64_t>(value, 0, std::numeric_limits<std::int64_t>::max(), at, key);
      } else if (key == "after_requests") {
        Require(object.find("after_ms") == object.end(), at,
                "give \"after_ms\" or \"after_requests\", not both");
        rule.afterRequests =
            Whole<std::uint64_t>(value, 0, std::numeric_limits<std::int64_t>::max(), at, key);
      } else if (key == "for_ms") {
        rule.forMs =
            Whole<std::uint64_t>(value, 0, std::numeric_limits<std::int64_t>::max(), at, key);
      } else if (key != "steps") {
        stepKeys[key] = value;  // the rule's one action, or the steps' shared delay
      }
    }
    const auto steps = object.find("steps");
    if (steps == object.end()) {
      rule.steps.push_back(ReadStep(stepKeys, start, true));
    } else {
      Require(steps->is_array() && !steps->empty(), KeyOffset(start, "steps"),
              "\"steps\" must be a list of one step or more");
      for (const auto& [key, value] : stepKeys.items()) {
        Require(key == "delay_ms", KeyOffset(start, key),
                "\"" + key + "\" belongs in each step when a rule has \"steps\"");
      }
      std::size_t from = KeyOffset(start, "steps");
      for (std::size_t i = 0; i < steps->size(); ++i) {
        Json step = (*steps)[i];
        Require(step.is_object(), from, "each step must be a JSON object");
        if (!step.contains("delay_ms") && stepKeys.contains("delay_ms")) {
          step["delay_ms"] = stepKeys["delay_ms"];
        }
        from = KeyOffset(from + 1, "do");
        rule.steps.push_back(ReadStep(step, from, i + 1 == steps->size()));
      }
    }
    CheckPipeActions(rule, start);
    return rule;
  }

  // Busy, absent and a hang-up before reading act before there is a request to match.
  void CheckPipeActions(const Rule& rule, std::size_t at) const {
    for (const Step& step : rule.steps) {
      const std::string name = ActionName(step.action);
      if (step.action == Action::kBusy || step.action == Action::kAbsent) {
        Require(rule.steps.size() == 1 && rule.match.TakesEverything() && rule.probability == 1.0 &&
                    step.delayMax == 0,
                at,
                name +
                    " acts on the pipe while the rule is due: it takes no match, steps, "
                    "probability or delay_ms");
      }
      if (step.action == Action::kHangUpBeforeRead) {
        Require(rule.match.TakesEverything() && step.delayMax == 0, at,
                name + " acts before the request is read: it takes no match or delay_ms");
      }
    }
  }

  Match ReadMatch(const Json& object, std::size_t start) const {
    Require(object.is_object(), start, "\"match\" must be a JSON object");
    Match match;
    for (const auto& [key, value] : object.items()) {
      const std::size_t at = KeyOffset(start, key);
      if (key == "export") {
        const tools::ExportInfo* info =
            value.is_string() ? tools::ExportNamed(value.get<std::string>()) : nullptr;
        Require(info != nullptr, at, "\"export\" must name an export, such as \"StartJob\"");
        Require(info->command.has_value(), at,
                std::string(info->name) + " sends no request to the service");
        match.command = static_cast<std::int32_t>(*info->command);
      } else if (key == "command") {
        match.command = Whole<std::int32_t>(value, INT32_MIN, INT32_MAX, at, key);
      } else if (key == "job") {
        match.job = Whole<std::int32_t>(value, INT32_MIN, INT32_MAX, at, key);
      } else if (key == "text") {
        Require(value.is_string(), at, "\"text\" must be a text");
        TextMatch text;
        std::string error;
        Require(ReadTextMatch(value.get<std::string>(), text, error), at, error);
        match.text = std::move(text);
      } else {
        throw Refusal{at, "unknown key \"" + key +
                              "\" in \"match\" (it takes \"export\", "
                              "\"command\", \"job\" and \"text\")"};
      }
    }
    return match;
  }

  Step ReadStep(const Json& object, std::size_t start, bool last) const {
    Step step;
    const auto action = object.find("do");
    const std::string name =
        action != object.end() && action->is_string() ? action->get<std::string>() : "";
    const auto info = std::find_if(std::begin(kActions), std::end(kActions),
                                   [&](const ActionInfo& a) { return name == a.name; });
    Require(info != std::end(kActions), KeyOffset(start, "do"),
            action == object.end() ? "a rule needs \"do\" (or \"steps\")"
                                   : "unknown action \"" + name + "\"");
    step.action = info->action;
    if (step.action == Action::kGarbled) step.bytes = kFrameSize;
    for (const auto& [key, value] : object.items()) {
      const std::size_t at = KeyOffset(start, key);
      if (key == "do") continue;
      if (key == "times") {
        step.times = Whole<int>(value, 1, 1000000000, at, key);
      } else if (key == "delay_ms") {
        ReadDelay(value, at, step);
      } else if (std::string(info->keys).find(" " + key + " ") == std::string::npos) {
        throw Refusal{at, "\"" + key + "\" does not go with " + name};
      } else if (key == "status") {
        step.status = Whole<std::int32_t>(value, INT32_MIN, INT32_MAX, at, key);
      } else if (key == "message" || key == "text") {
        Require(value.is_string(), at, "\"" + key + "\" must be a text");
        (key == "message" ? step.message.emplace() : step.text) = value.get<std::string>();
      } else if (key == "pad" || key == "carry_out") {
        Require(value.is_boolean(), at, "\"" + key + "\" must be true or false");
        (key == "pad" ? step.pad : step.carryOut.emplace()) = value.get<bool>();
      } else if (key == "bytes") {
        const long long low = step.action == Action::kPartial ? 0 : 1;
        const long long high = step.action == Action::kPartial ? kFrameSize - 1 : kMaxExtraBytes;
        step.bytes = Whole<std::size_t>(value, low, high, at, key);
      } else if (key == "count") {
        step.count = value == "forever" ? kEndless : Whole<std::size_t>(value, 1, 1000000, at, key);
      }
    }
    Require(step.times > 0 || last, start, "every step but the last needs \"times\"");
    Require(step.action != Action::kRaw || object.contains("text"), start, "raw needs \"text\"");
    Require(step.action != Action::kPartial || object.contains("bytes"), start,
            "partial needs \"bytes\"");
    Require(step.action != Action::kOversize || object.contains("bytes"), start,
            "oversize needs \"bytes\"");
    Require(step.action != Action::kEmpty || object.contains("count"), start,
            "empty needs \"count\" (a number or \"forever\")");
    Require(step.carryOut.value_or(true) || step.status.has_value(), start,
            "\"carry_out\": false needs a \"status\" to answer with");
    return step;
  }

  void ReadDelay(const Json& value, std::size_t at, Step& step) const {
    if (value.is_array()) {
      Require(value.size() == 2, at, "\"delay_ms\" must be a number or [min, max]");
      step.delayMin = Whole<std::uint32_t>(value[0], 0, kMaxDelayMs, at, "delay_ms");
      step.delayMax = Whole<std::uint32_t>(value[1], 0, kMaxDelayMs, at, "delay_ms");
      Require(step.delayMin <= step.delayMax, at, "\"delay_ms\": min is above max");
    } else {
      step.delayMin = step.delayMax = Whole<std::uint32_t>(value, 0, kMaxDelayMs, at, "delay_ms");
    }
  }

  const std::string& text_;
  std::vector<std::size_t> ruleStarts_;
};

}  // namespace

const char* ActionName(Action action) {
  for (const ActionInfo& info : kActions) {
    if (info.action == action) return info.name;
  }
  return "?";
}

// A compiled "re:" pattern. Boost's matcher counts the states it visits and gives up past a
// bound that grows with the text (BOOST_REGEX_MAX_STATE_COUNT caps it), so a pathological
// pattern costs a bounded time per request instead of running on.
struct TextMatch::Pattern {
  boost::wregex regex;  // over characters, not bytes
};

bool TextMatch::Holds(const std::string& text, bool* overBound) const {
  switch (kind) {
    case Kind::kExact:
      return text == pattern;
    case Kind::kContains:
      return text.find(pattern) != std::string::npos;
    case Kind::kRegex:
      try {
        return boost::regex_match(WideFromUtf8Text(text), compiled->regex);
      } catch (const std::runtime_error&) {
        if (overBound != nullptr) *overBound = true;
        return false;
      }
  }
  return false;
}

namespace {

// How deep the pattern's groups nest, escapes and bracket expressions aside.
int GroupDepth(const std::string& pattern) {
  int depth = 0, deepest = 0;
  bool inBrackets = false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\') {
      ++i;
    } else if (inBrackets) {
      inBrackets = c != ']';
    } else if (c == '[') {
      inBrackets = true;
    } else if (c == '(') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ')') {
      --depth;
    }
  }
  return deepest;
}

}  // namespace

bool ReadTextMatch(const std::string& spec, TextMatch& match, std::string& error) {
  const auto startsWith = [&](const char* prefix) { return spec.rfind(prefix, 0) == 0; };
  if (startsWith("contains:")) {
    match.kind = TextMatch::Kind::kContains;
    match.pattern = spec.substr(9);
  } else if (startsWith("re:")) {
    match.kind = TextMatch::Kind::kRegex;
    match.pattern = spec.substr(3);
    if (match.pattern.size() > kMaxPatternBytes) {
      error = "the pattern is longer than " + std::to_string(kMaxPatternBytes) + " bytes";
      return false;
    }
    if (GroupDepth(match.pattern) > kMaxPatternGroupDepth) {
      error = "the pattern's groups nest deeper than " + std::to_string(kMaxPatternGroupDepth) +
              " levels";
      return false;
    }
    try {
      match.compiled = std::make_shared<const TextMatch::Pattern>(TextMatch::Pattern{
          boost::wregex(WideFromUtf8Text(match.pattern), boost::regex::ECMAScript)});
    } catch (const std::exception& e) {
      error = "\"" + match.pattern + "\" is not a regular expression (" + e.what() + ")";
      return false;
    }
  } else {
    match.kind = TextMatch::Kind::kExact;
    match.pattern = spec;
  }
  return true;
}

bool Match::Holds(const Request& request, bool* overBound) const {
  if (!request.wellFormed) return false;  // a malformed request is the job table's to refuse
  return (!command || *command == request.command) && (!job || *job == request.jobId) &&
         (!text || text->Holds(DecodeAnsi(request.param), overBound));
}

bool ReadRules(const std::string& json, RuleSet& rules, std::string& error) {
  try {
    std::vector<std::size_t> ruleStarts;
    if (const auto fault = CheckJsonText(json, kMaxDepth, &ruleStarts)) {
      throw Refusal{fault->offset, fault->reason};
    }
    Json root;
    try {
      root = Json::parse(json);
    } catch (const Json::parse_error& e) {
      std::string what = e.what();
      // "[json.exception.parse_error.101] parse error at line 3, column 5: ..." says its line.
      const std::size_t reason = what.find("parse error");
      error = reason != std::string::npos ? what.substr(reason) : what;
      return false;
    }
    // cppcheck-suppress accessMoved ; read once, here, after the check that filled it
    rules = Reader(json, std::move(ruleStarts)).Read(root);
    return true;
  } catch (const Refusal& refusal) {
    error = "line " + std::to_string(LineAt(json, refusal.offset)) + ": " + refusal.reason;
  } catch (const std::exception& e) {
    // Whatever else the parser or the reader meets refuses the file; it never ends the service.
    error = std::string("the file cannot be read: ") + e.what();
  }
  return false;
}

std::string PresetStep(const std::string& fault, std::string& error) {
  const std::size_t colon = fault.find(':');
  const std::string action = fault.substr(0, colon);
  Json step = {{"do", action}};
  if (colon != std::string::npos) {
    const std::string argument = fault.substr(colon + 1);
    const char* key = action == "empty" ? "count" : action == "reply" ? "status" : "bytes";
    long long number = 0;
    if (action == "empty" && argument == "forever") {
      step[key] = argument;
    } else if (tools::ParseDecimal(argument, number)) {
      step[key] = number;
    } else {
      error = "--fault " + fault + ": \"" + argument + "\" is not a whole number";
      return std::string();
    }
  }
  return step.dump();
}

bool PresetRules(const std::string& fault, RuleSet& rules, std::string& error) {
  const std::string step = PresetStep(fault, error);
  if (step.empty()) return false;
  Json rule = Json::parse(step);
  rule["name"] = "--fault " + fault;
  const std::string text = Json{{"rules", Json::array({rule})}}.dump();
  if (ReadRules(text, rules, error)) return true;
  error = "--fault " + fault + ": " + error.substr(error.find(": ") + 2);
  return false;
}

}  // namespace velmora::devservice
