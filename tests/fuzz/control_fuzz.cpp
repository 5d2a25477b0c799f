// A control line of any bytes: answered with one JSON object that parses, whose "ok" is a
// boolean, never by an exception (a byte that is not UTF-8 once ended the service).
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "control/control.h"

namespace {

using namespace velmora::devservice;

class Target : public ControlTarget {
 public:
  ServiceState State() override { return {"3.0.0.85", 1, 0, 7, 0}; }
  std::uint64_t Apply(std::uint64_t, RuleSet rules) override { return rules.seed.value_or(7); }
  bool Reset(std::uint64_t, bool, bool, bool, std::string&) override { return true; }
  bool OpenSession(const std::string&, unsigned long, ControlConnection& connection,
                   std::string&) override {
    connection.session = 1;
    return true;
  }
  bool EndSession(std::uint64_t) override { return true; }
  std::uint64_t NamedSession(const std::string&) override { return 0; }
  std::uint64_t JournalStart(std::uint64_t) override { return 1; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  Target target;
  MemoryJournal journal;
  try {
    ControlConnection connection;
    const ControlAnswer answer = AnswerControl(line, connection, target, journal);
    const nlohmann::json parsed = nlohmann::json::parse(answer.line);
    if (!parsed.is_object() || !parsed.at("ok").is_boolean()) std::abort();
  } catch (...) {
    std::abort();
  }
  return 0;
}
