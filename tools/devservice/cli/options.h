// velmora-devservice's command line, declared with CLI11, apart from any platform call: the only
// place that knows it. Each subcommand fills the settings of the part that carries it out.
#pragma once

#include <string>
#include <vector>

#include "control/control.h"
#include "journal/verify.h"
#include "serve/settings.h"
#include "sweep/sweep.h"

namespace velmora::devservice {

// `velmora-devservice verify`: the conditions met against a journal file.
struct VerifyOptions : VerifyConditions {
  std::string log;
  bool json = false;  // the report as one JSON object
};

struct Options {
  enum class Action { kServe, kVerify, kControl, kSweep, kHelp, kVersion };
  Action action = Action::kServe;
  ServeSettings serve;
  VerifyOptions verify;
  ControlOptions control;
  SweepSettings sweep;
  std::string helpFor;  // the subcommand whose --help was asked for ("verify", "ctl apply")
};

// Reads the arguments after the program name, UTF-8 (a log file's name may hold any
// character). On a mistake returns false and says in `error` which argument is wrong and what
// it takes.
bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

// The help, made from the same declaration: the service's, or a subcommand's ("ctl apply").
std::string UsageText(const std::string& subcommand = "");

}  // namespace velmora::devservice
