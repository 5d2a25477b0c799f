// velmora-devservice: a scheduler service to develop and demonstrate host programs against.
// It serves "\\.\pipe\pipe_job" as the library expects, keeps its jobs in memory, journals
// every request, and misbehaves on purpose where its rules (or --delay, --hangup, --single)
// say so. This file only reads the command line and hands it on: serve.cpp is the service,
// ctl.cpp the control client, journal_check.cpp the journal's verify, sweep.cpp the sweep.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/options.h"
#include "control/ctl.h"
#include "journal/verify.h"
#include "rules/rules_file.h"
#include "serve/serve.h"
#include "sweep/sweep.h"
#include "wide_text.h"

namespace velmora::devservice {
namespace {

int Verify(const VerifyOptions& options) {
  std::string journal, report;
  long count = 0;
  const Verdict verdict = ReadTextFile(options.log, journal, report)
                              ? CheckJournal(journal, options, report, &count)
                              : Verdict::kCannotTell;
  if (options.json) {
    (void)std::fputs(VerdictJson(verdict, count, report).c_str(), stdout);
  } else if (verdict == Verdict::kCannotTell) {
    if (!report.empty() && report.back() == '\n') report.pop_back();
    (void)std::fprintf(stderr, "velmora-devservice: %s\n", report.c_str());
  } else {
    (void)std::fputs(report.c_str(), stdout);
  }
  return static_cast<int>(verdict);
}

}  // namespace
}  // namespace velmora::devservice

int main() {
  using namespace velmora::devservice;
  std::vector<std::string> args;
  Options options;
  std::string error;
  if (!velmora::tools::Utf8Arguments(args, error) || !ParseOptions(args, options, error)) {
    const bool ctl = options.action == Options::Action::kControl;
    (void)std::fprintf(
        stderr, "velmora-devservice%s: %s\n(velmora-devservice %s--help lists the options)\n",
        ctl ? " ctl" : "", error.c_str(), ctl ? "ctl " : "");
    return ctl ? kControlCannotRun : 2;
  }
  switch (options.action) {
    case Options::Action::kHelp:
      (void)std::fputs(UsageText(options.helpFor).c_str(), stdout);
      return 0;
    case Options::Action::kVersion:
      std::printf("velmora-devservice %s\n", VELMORA_VERSION);
      return 0;
    case Options::Action::kVerify:
      return Verify(options.verify);
    case Options::Action::kControl:
      return Control(options.control);
    case Options::Action::kSweep:
      return Sweep(options.sweep);
    case Options::Action::kServe:
      break;
  }
  return Serve(options.serve);
}
