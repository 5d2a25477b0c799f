#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>

#include "decimal.h"
#include "frames/job_table.h"

namespace velmora::devservice {
namespace {

// A whole decimal number from `minimum` to `maximum`; nothing else, not even an empty text.
CLI::Validator Whole(long long minimum, long long maximum) {
  return CLI::Validator(
      [=](const std::string& text) -> std::string {
        long long value = 0;
        if (tools::ParseDecimal(text, value) && value >= minimum && value <= maximum) return "";
        return "needs a whole number from " + std::to_string(minimum) + " to " +
               std::to_string(maximum) + ", not \"" + text + "\"";
      },
      "N");
}

constexpr const char* kDescription = "Serves \\\\.\\pipe\\pipe_job for Velmora.dll until Ctrl+C.";

CLI::Validator NotEmpty(const char* what) {
  return CLI::Validator(
      [what](const std::string& text) { return text.empty() ? std::string("needs ") + what : ""; },
      "");
}

// What a request must meet to be counted, for verify and for ctl verify.
void DeclareConditions(CLI::App* command, VerifyConditions& verify) {
  command->add_option("--export", verify.exportName, "requests of this export's command code");
  command->add_option("--job", verify.job, "requests for this job")
      ->check(Whole(-2147483648LL, 2147483647));
  command
      ->add_option("--text", verify.text,
                   "requests whose text is TEXT, or contains:PART, or re:EXPRESSION")
      ->type_name("TEXT");
  command->add_option("--rule", verify.rule, "requests this rule took")->type_name("NAME");
  command->add_option("--action", verify.action, "requests a rule answered with this action")
      ->type_name("NAME");
  command->add_option("--status", verify.status, "requests answered with this status")
      ->check(Whole(-2147483648LL, 2147483647));
  command->add_option("--since", verify.since, "only requests numbered SEQ or later")
      ->type_name("SEQ")
      ->check(Whole(0, 9223372036854775807LL));
  command->add_option("--session", verify.session, "only requests of session N")
      ->check(Whole(0, 9223372036854775807LL));
  auto* count = command->add_option("--count", verify.count, "exactly N such requests")
                    ->check(Whole(0, 2147483647));
  command->add_option("--at-least", verify.atLeast, "N or more (by default 1)")
      ->check(Whole(0, 2147483647))
      ->excludes(count);
}

void DeclareVerify(CLI::App& app, VerifyOptions& verify) {
  CLI::App* command = app.add_subcommand(
      "verify", "check a journal written with --log: exit 0 when it agrees, 1 when it does not");
  command->footer("Exit status: 0 the journal agrees, 1 it does not, 2 it cannot be read.");
  command->add_option("--log", verify.log, "the journal")
      ->type_name("FILE")
      ->required()
      ->check(NotEmpty("a file name"));
  DeclareConditions(command, verify);
  command->add_flag("--json", verify.json,
                    "print {\"count\", \"agrees\", \"report\"} as one JSON object");
}

void DeclareSweep(CLI::App& app, SweepSettings& sweep) {
  CLI::App* command = app.add_subcommand(
      "sweep", "run HOST once per fault at each of its calls, and report how it copes");
  command->footer(
      "Usage: velmora-devservice sweep [options] -- HOST [ARG...]\n"
      "Each run serves \\\\.\\pipe\\pipe_job itself, with a fresh job table and one rule. "
      "Verdicts: crashed, looped (a retry without end), hung, not met, reported (another exit "
      "code), repeated (sent again after it was carried out), retried, absorbed.\n"
      "Exit status: 0 no run crashed, looped, hung or repeated, 1 one did, 2 the sweep could "
      "not run; with "
      "--expect, 0 the matrix is the expected one, 1 a cell changed.");
  command->add_option("--timeout", sweep.timeoutS, "a run's time limit (default 30)")
      ->type_name("SECONDS")
      ->check(Whole(1, 86400));
  command->add_option("--faults", sweep.faults, "the faults, as --fault presets (default: 11)")
      ->type_name("LIST")
      ->check(NotEmpty("a list"));
  command
      ->add_option("--calls", sweep.calls,
                   "the calls to fault, 1-based (1-3,5; default the first at each site)")
      ->type_name("LIST")
      ->check(NotEmpty("a list"));
  command->add_option("--out", sweep.out, "the report's folder (default sweep-YYYYMMDD-HHMMSS)")
      ->type_name("DIR")
      ->check(NotEmpty("a folder"));
  command->add_option("--jobs", sweep.jobs, "jobs 1..N exist at each run's start (default 5)")
      ->check(Whole(0, kMaxJobs));
  command->add_option("--seed", sweep.seed, "the seed of every run (default: drawn, and printed)")
      ->check(Whole(0, 9223372036854775807LL));
  command
      ->add_option("--client-timeout", sweep.clientTimeoutMs,
                   "the time a client has from connecting to closing (default 3000)")
      ->type_name("MS")
      ->check(Whole(100, 600000));
  command
      ->add_option("--max-runs", sweep.maxRuns,
                   "the most runs the sweep makes (default 2000, or no bound with --calls)")
      ->type_name("N")
      ->check(Whole(1, 10000000));
  command
      ->add_option("--parallel", sweep.parallel,
                   "runs at once, each host in a session of its own (default: the cores, at "
                   "least 2); busy and absent run alone")
      ->type_name("N")
      ->check(Whole(1, 64));
  command->add_flag("--force", sweep.force, "replace an earlier sweep's report in --out");
  command
      ->add_option("--expect", sweep.expect,
                   "an earlier report.json: exit 1 when a cell's verdict is not the one it has")
      ->type_name("FILE")
      ->check(NotEmpty("a file"));
  command->add_flag("--every-call", sweep.everyCall,
                    "fault every call, not only the first at each of the host's call sites");
  command->add_flag("--persist", sweep.persist,
                    "hold each fault from its call to the run's end: finds retries without end");
  command->add_flag("--allow-repeats", sweep.allowRepeats,
                    "a request sent again after it was carried out does not fail the sweep");
  command->add_option("host", sweep.host, "the host program and its arguments, after --")
      ->required()
      ->expected(1, -1);
}

void DeclareControl(CLI::App& app, ControlOptions& control) {
  CLI::App* ctl = app.add_subcommand("ctl", "control a running service over its control pipe");
  ctl->footer(
      "Exit status: 0 done (and, for verify, the journal agrees), 1 refused or it does "
      "not agree, 2 no service answers or the answer is not understood, 3 ctl cannot do what "
      "it is asked (a mistake in its options, a file that cannot be read).");
  ctl->add_option("--control", control.pipe,
                  "the control pipe (default \\\\.\\pipe\\velmora-devservice)")
      ->type_name("NAME")
      ->check(NotEmpty("a pipe name"));
  ctl->add_flag("--json", control.json, "print the service's answer line as it came");
  ctl->add_option("--session", control.session,
                  "act on the named session, opened first if there is none; it lasts until "
                  "`ctl --session NAME end`")
      ->type_name("NAME")
      ->check(NotEmpty("a session name"));
  ctl->add_option("--process", control.process,
                  "the process a session opened by --session covers, with every process it "
                  "starts (default: the one that ran ctl)")
      ->type_name("PID")
      ->check(Whole(1, 4294967295LL));
  ctl->require_subcommand(1);
  for (const ControlOpInfo& info : ControlOps()) {
    const char* name = info.name;
    CLI::App* command = ctl->add_subcommand(name, info.summary)->fallthrough();
    command->callback([&control, name] { control.op = name; });
  }
  ctl->get_subcommand("apply")
      ->add_option("FILE", control.file, "a rules file")
      ->required()
      ->check(NotEmpty("a file name"));
  CLI::App* reset = ctl->get_subcommand("reset");
  reset->add_flag("--keep-rules", control.keepRules, "keep the rules in force");
  reset->add_flag("--keep-jobs", control.keepJobs, "keep the jobs as they are");
  reset->add_flag("--keep-journal", control.keepJournal, "keep the journal and its numbering");
  ctl->get_subcommand("journal")
      ->add_option("--since", control.since, "the lines of request N on (from 1)")
      ->check(Whole(0, 9223372036854775807LL));
  DeclareConditions(ctl->get_subcommand("verify"), control.verify);
}

void Declare(CLI::App& app, Options& options, bool& version) {
  app.footer(
      "Statuses: 0, 1168 no such job, 5023 not in a state for the command, 87 malformed\n"
      "request (or not one 1024-byte frame) or unknown command, 1816 the job table is full\n"
      "(100000 jobs), 1061 stopping: not carried out. Rules files: see RULES.md\n"
      "in the release archive (rules.schema.json beside it).");
  app.add_flag("--version", version, "print the version and exit");
  ServeSettings& serve = options.serve;
  auto* instances = app.add_option("--instances", serve.instances,
                                   "pipe instances, all listening from the start (default 255)")
                        ->check(Whole(1, kMaxInstances));
  app.add_flag_callback(
         "--single", [&serve] { serve.instances = 1; },
         "one instance, so concurrent callers meet the busy path")
      ->excludes(instances);
  app.add_option("--jobs", serve.jobs, "jobs 1..N exist at start, idle (default 5)")
      ->check(Whole(0, kMaxJobs));
  app.add_option("--delay", serve.delayMs, "wait this long before each reply that no rule gives")
      ->type_name("MS")
      ->check(Whole(0, 3600000));
  app.add_flag("--hangup", serve.hangUp, "close each connection before replying");
  app.add_option("--client-timeout", serve.clientTimeoutMs,
                 "the time a client has from connecting to closing, besides --delay; a client "
                 "still connected then is disconnected (default 3000)")
      ->type_name("MS")
      ->check(Whole(100, 600000));
  app.add_option("--max-requests", serve.maxRequests,
                 "carry out N requests, reply to each, and exit")
      ->check(Whole(1, 2147483647));
  app.add_option("--log", serve.logFile,
                 "also append each request to FILE as a JSON line, when it is read, and how "
                 "its answer went")
      ->type_name("FILE")
      ->check(NotEmpty("a file name"));
  auto* rules = app.add_option("--rules", serve.rulesFile,
                               "answer by the rules in FILE (JSON), read again when it changes")
                    ->type_name("FILE")
                    ->check(NotEmpty("a file name"));
  app.add_option("--fault", serve.fault,
                 "one rule for every request: ACTION, or ACTION:N (partial:100, empty:forever, "
                 "reply:1460, ...)")
      ->type_name("ACTION")
      ->check(NotEmpty("an action"))
      ->excludes(rules);
  app.add_option("--seed", serve.seed, "the seed for the rules' chances (overrides the file's)")
      ->check(Whole(0, 9223372036854775807LL));
  auto* control = app.add_option("--control", serve.controlPipe,
                                 "serve the control pipe under this name (default "
                                 "\\\\.\\pipe\\velmora-devservice)")
                      ->type_name("NAME")
                      ->check(NotEmpty("a pipe name"));
  app.add_flag("--no-control", serve.noControl, "serve no control pipe")->excludes(control);
  DeclareVerify(app, options.verify);
  DeclareControl(app, options.control);
  DeclareSweep(app, options.sweep);
}

// The first operand after "ctl" and its own options, when it names no operation.
std::string UnknownOperation(const std::vector<std::string>& args) {
  auto at = std::find(args.begin(), args.end(), "ctl");
  for (at = at == args.end() ? at : at + 1; at != args.end(); ++at) {
    if (*at == "--control") {
      if (++at == args.end()) break;
    } else if (at->rfind("--control=", 0) != 0 && *at != "--json") {
      const std::string known = ", " + ControlOpNames() + ",";
      return known.find(", " + *at + ",") == std::string::npos ? *at : "";
    }
  }
  return "";
}

// The subcommand path that was given, "ctl apply" say.
std::string Given(const CLI::App& app) {
  std::string path;
  for (const CLI::App* at = &app; !at->get_subcommands().empty();) {
    at = at->get_subcommands().front();
    path += (path.empty() ? "" : " ") + at->get_name();
  }
  return path;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
  // Windows' own way to ask for help, as jobctl takes it.
  if (!args.empty() && args[0] == "/?") {
    options.action = Options::Action::kHelp;
    return true;
  }
  CLI::App app{kDescription, "velmora-devservice"};
  // Under Windows CLI11 would take "/rules/x.json" for an option; only "/?" is one here.
  app.allow_windows_style_options(false);
  bool version = false;
  Declare(app, options, version);
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    options.action = Options::Action::kHelp;
    options.helpFor = Given(app);
    return true;
  } catch (const CLI::ParseError& e) {
    error = e.what();
    if (app.got_subcommand("ctl")) {
      options.action = Options::Action::kControl;  // its mistakes exit as ctl says they do
      if (const std::string op = UnknownOperation(args); !op.empty()) {
        error = "unknown operation \"" + op + "\" (" + ControlOpNames() + ")";
      }
    }
    return false;
  }
  if (version) options.action = Options::Action::kVersion;
  if (app.got_subcommand("verify")) options.action = Options::Action::kVerify;
  if (app.got_subcommand("ctl")) options.action = Options::Action::kControl;
  if (app.got_subcommand("sweep")) options.action = Options::Action::kSweep;
  return true;
}

std::string UsageText(const std::string& subcommand) {
  CLI::App app{kDescription, "velmora-devservice"};
  Options options;
  bool version = false;
  Declare(app, options, version);
  CLI::App* help = &app;
  for (std::size_t at = 0; at < subcommand.size();) {
    const std::size_t end = std::min(subcommand.find(' ', at), subcommand.size());
    help = help->get_subcommand(subcommand.substr(at, end - at));
    at = end + 1;
  }
  return help->help();
}

}  // namespace velmora::devservice
