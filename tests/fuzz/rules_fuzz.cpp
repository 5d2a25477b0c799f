// ReadRules on any file: never throws, never exhausts the stack, refuses with a reason and leaves
// the rules as they were, and reads an accepted file the same way twice.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "rules/rules.h"

using velmora::devservice::ReadRules;
using velmora::devservice::RuleSet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string file(reinterpret_cast<const char*>(data), size);
  RuleSet rules;
  rules.seed = 12345;
  std::string error;
  if (!ReadRules(file, rules, error)) {
    if (error.empty() || rules.seed != 12345u || !rules.rules.empty()) std::abort();
    return 0;
  }
  RuleSet again;
  std::string unused;
  if (!ReadRules(file, again, unused) || again.rules.size() != rules.rules.size()) std::abort();
  for (std::size_t i = 0; i < rules.rules.size(); ++i) {
    if (again.rules[i].name != rules.rules[i].name) std::abort();
  }
  return 0;
}
