// verify's reading of any journal: never throws, never exhausts the stack, and either says the
// journal cannot be read (with the line) or reports a count.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "journal/verify.h"

using velmora::devservice::CheckJournal;
using velmora::devservice::Verdict;
using velmora::devservice::VerifyConditions;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string journal(reinterpret_cast<const char*>(data), size);
  VerifyConditions byEverything;
  byEverything.exportName = "StartJob";
  byEverything.job = 5;
  byEverything.text = "re:C:.*";
  byEverything.rule = "flaky";
  byEverything.count = 1;
  for (const VerifyConditions& options : {VerifyConditions(), byEverything}) {
    std::string report;
    const Verdict verdict = CheckJournal(journal, options, report);
    const char* opening =
        verdict == Verdict::kCannotTell ? "the journal cannot be read: line " : "found ";
    if (report.rfind(opening, 0) != 0) std::abort();
  }
  return 0;
}
