// Prints, for each rules file named, one line: "ok", or "refused: " and the service's reason.
// The schema test sets these verdicts beside the published schema's.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "rules/rules.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) {
      std::printf("unreadable: %s\n", argv[i]);
      continue;
    }
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    velmora::devservice::RuleSet rules;
    std::string error;
    if (velmora::devservice::ReadRules(text, rules, error)) {
      std::printf("ok\n");
    } else {
      std::printf("refused: %s\n", error.c_str());
    }
  }
  return 0;
}
