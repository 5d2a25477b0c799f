#include "command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <iterator>
#include <memory>
#include <sstream>

#include "decimal.h"

namespace velmora::jobctl {
namespace {

using tools::ExportInfo;
using tools::Operand;

constexpr const char* kFooter =
    "Options go before the subcommand; everything after it is an operand, so a text may start\n"
    "with - or /, and a \"--\" among the operands is dropped. jobctl SUBCOMMAND --help shows one\n"
    "subcommand's usage (run-as-admin --help sends the text \"--help\"). Texts are sent in the\n"
    "ANSI code page; a character it cannot hold is refused.\n"
    "\n"
    "Exit code: the call's status (0 on success, else the service's status or a system error\n"
    "code), so %ERRORLEVEL% holds it whole. A shell that sees only the low 8 bits (Git Bash,\n"
    "WSL, Wine) would read a status that is a multiple of 256 as 0: such a status exits with\n"
    "its low 8 bits set (512 exits as 767), and so does 259, which a parent polling\n"
    "GetExitCodeProcess would take for a process still running (it exits as 511); --json\n"
    "always carries the exact status.\n"
    "jobctl's own failures: 1639 bad command line, 1157 the DLL does not load, 127 the DLL\n"
    "lacks the export or is not Velmora, 1113 a text cannot be sent (low 8 bits: 103, 133,\n"
    "127, 89).\n"
    "\n"
    "Examples:\n"
    "  jobctl start 5\n"
    "  jobctl --timeout 10 sync 3 C:\\data\\in C:\\data\\out\n"
    "  jobctl --dll C:\\velmora\\bin\\edition2\\Velmora.dll info\n"
    "  in a batch file, on two lines (cmd expands %ERRORLEVEL% in a line before running it):\n"
    "    jobctl --quiet start 5\n"
    "    if errorlevel 1 echo failed with %ERRORLEVEL%\n";

// "on" enables a job and "off" disables it; true/false and 1/0 are understood too.
bool ParseState(const std::string& text, std::int32_t& state) {
  const bool on = text == "on" || text == "true" || text == "1";
  state = on ? 1 : 0;
  return on || text == "off" || text == "false" || text == "0";
}

// A time limit in plain decimal ("5", "0.25"): no sign, exponent, hex, infinity or NaN, which
// would leave the call unbounded or bounded by a number nobody wrote.
bool ParseSeconds(const std::string& text, double& seconds) {
  const bool plain = !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos &&
                     std::count(text.begin(), text.end(), '.') <= 1 && text != ".";
  if (!plain) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  return error == std::errc() && end == text.data() + text.size() && seconds >= 0.001 &&
         seconds <= 86400.0;
}

// A path or value that is itself an option was meant as one, not as the value.
std::string NotAnOption(const std::string& value) {
  return !value.empty() && value[0] == '-' ? "needs a value, not the option " + value : "";
}

struct Declared {
  CLI::App app{
      "Calls one export of Velmora.dll (by default the one beside jobctl.exe) and exits\n"
      "with its status.",
      "jobctl"};
  std::vector<std::pair<CLI::App*, const ExportInfo*>> calls;
  CLI::App* info = nullptr;
  bool version = false;
};

std::unique_ptr<Declared> Declare(Invocation& invocation) {
  auto declared = std::make_unique<Declared>();
  CLI::App& app = declared->app;
  app.set_help_flag("-h,--help", "print this help");
  app.add_flag("--version", declared->version, "print jobctl's version");
  app.add_option("--dll", invocation.dllPath, "the Velmora.dll to load (either edition)")
      ->type_name("PATH")
      ->check(CLI::Validator(
          [](const std::string& path) { return path.empty() ? "needs a path" : NotAnOption(path); }, ""));
  app.add_flag("--json", invocation.json, "print one JSON object for any outcome");
  app.add_flag("-q,--quiet", invocation.quiet, "print nothing on success; failures still show");
  app.add_option("--timeout", invocation.timeoutSeconds,
                 "cancel the call's blocked pipe I/O after this long (status 995)")
      ->type_name("SECONDS")
      ->check(CLI::Validator(
          [](const std::string& text) {
            double seconds = 0;
            return ParseSeconds(text, seconds) ? std::string()
                                               : "needs seconds from 0.001 to 86400, not " + text;
          },
          ""));
  app.require_subcommand(0, 1);
  // Only the words up to the subcommand reach the parser (see SubcommandIndex).
  for (const ExportInfo& info : tools::kExports) {
    if (info.subcommand == nullptr) continue;
    std::string operands = info.operands;
    operands.resize(18, ' ');
    CLI::App* sub = app.add_subcommand(info.subcommand, operands + "calls " + info.name);
    sub->set_help_flag();
    declared->calls.emplace_back(sub, &info);
  }
  declared->info =
      app.add_subcommand("info", std::string(18, ' ') + "which DLL, its edition and exports");
  declared->info->set_help_flag();
  app.allow_extras();  // a first word that names no subcommand is reported as such
  app.footer(kFooter);
  return declared;
}

// Everything after the subcommand is an operand, whatever it looks like ("--" and "-h"
// included), so the parser sees only the options and the subcommand itself: the first word that
// is neither an option nor the value of --dll or --timeout.
std::size_t SubcommandIndex(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--dll" || args[i] == "--timeout") {
      ++i;
    } else if (args[i].empty() || args[i][0] != '-') {
      return i;
    }
  }
  return args.size();
}

// The arguments with "--dll=PATH" and "--timeout=SECONDS" before the subcommand made two words
// each, as the parser reads "--dll PATH": an empty value then stays the option's, and is
// refused, instead of taking the word after it.
std::vector<std::string> ValuesApart(const std::vector<std::string>& args) {
  std::vector<std::string> apart;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const std::string name = arg.substr(0, arg.find('='));
    if (name != arg && (name == "--dll" || name == "--timeout")) {
      apart.push_back(name);
      apart.push_back(arg.substr(name.size() + 1));
      continue;
    }
    apart.push_back(arg);
    if ((arg == "--dll" || arg == "--timeout") && i + 1 < args.size()) {
      apart.push_back(args[++i]);
    } else if (arg.empty() || arg[0] != '-') {
      apart.insert(apart.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    }
  }
  return apart;
}

// "usage: jobctl [OPTIONS] sync JOB FIRST SECOND"
std::string UsageLine(const ExportInfo& call) {
  return "usage: jobctl [OPTIONS] " + std::string(call.subcommand) +
         (*call.operands != '\0' ? " " : "") + call.operands;
}

// Whether a refused operand list asked for help (before any "--").
bool AsksForHelp(const std::vector<std::string>& operands) {
  for (const std::string& operand : operands) {
    if (operand == "--") return false;
    if (operand == "-h" || operand == "--help" || operand == "/?") return true;
  }
  return false;
}

// Whether a word is --json in any form the parser takes as true.
bool IsJsonTrue(const std::string& arg) {
  if (arg == "--json") return true;
  if (arg.rfind("--json=", 0) != 0) return false;
  const std::string value = arg.substr(7);
  return value != "false" && value != "0" && value != "off" && value != "no";
}

std::string ReadOperands(const ExportInfo& call, std::vector<std::string> operands,
                         Invocation& invocation) {
  // The first "--" only marks where options would end; all of these are operands anyway.
  const auto separator = std::find(operands.begin(), operands.end(), "--");
  if (separator != operands.end()) operands.erase(separator);
  std::istringstream words(call.operands);
  std::vector<std::string> names{std::istream_iterator<std::string>(words), {}};
  if (operands.size() != names.size()) {
    // Its failure is told in JSON all the same, but the call needs the option in its place.
    const bool jsonAfter = std::any_of(operands.begin(), operands.end(), IsJsonTrue);
    return UsageLine(call) + (jsonAfter ? " (--json goes before the subcommand)" : "");
  }
  for (std::size_t i = 0; i < operands.size(); ++i) {
    const Operand kind = tools::OperandKind(names[i]);
    std::int32_t value = 0;
    if (kind == Operand::kText) {
      invocation.texts.push_back(operands[i]);
      continue;
    }
    if (kind == Operand::kNumber && !tools::ParseDecimal(operands[i], value)) {
      return operands[i] + " is not a 32-bit whole number";
    }
    if (kind == Operand::kState && !ParseState(operands[i], value)) {
      return "the state must be on or off, not " + operands[i];
    }
    invocation.numbers.push_back(value);
  }
  return "";
}

}  // namespace

Invocation ParseCommandLine(const std::vector<std::string>& given) {
  const std::vector<std::string> args = ValuesApart(given);
  Invocation invocation;
  const std::size_t at = SubcommandIndex(args);
  const auto split = args.begin() + static_cast<std::ptrdiff_t>(std::min(at + 1, args.size()));
  const std::vector<std::string> words(args.begin(), split);
  const std::vector<std::string> operands(split, args.end());
  // A command line that is not understood answers in JSON when --json stands anywhere in it
  // (before "--"), even where the parse stopped before it or took it for an operand.
  const bool json =
      std::any_of(args.begin(), std::find(args.begin(), args.end(), "--"), IsJsonTrue);
  std::unique_ptr<Declared> declared = Declare(invocation);
  try {
    declared->app.parse(std::vector<std::string>(words.rbegin(), words.rend()));
  } catch (const CLI::CallForHelp&) {
    invocation.action = Invocation::Action::kHelp;
    return invocation;
  } catch (const CLI::ParseError& e) {
    invocation.json = json;
    invocation.error = e.what();
    return invocation;
  }
  const std::vector<std::string> stray = declared->app.remaining();
  const ExportInfo* call = nullptr;
  for (const auto& [sub, info] : declared->calls) call = sub->parsed() ? info : call;
  if (declared->version) {
    invocation.action = Invocation::Action::kVersion;
  } else if (!stray.empty() && stray[0] == "/?") {
    invocation.action = Invocation::Action::kHelp;
  } else if (!stray.empty()) {
    invocation.error =
        (stray[0].rfind('-', 0) == 0 ? "unknown option " : "unknown subcommand ") + stray[0];
  } else if (declared->info->parsed()) {
    invocation.action = Invocation::Action::kInfo;
    if (!operands.empty()) invocation.error = "info takes no operands";
  } else if (call != nullptr) {
    invocation.action = Invocation::Action::kCall;
    invocation.call = call;
    invocation.error = ReadOperands(*call, operands, invocation);
  } else {
    invocation.error = "no subcommand given";
    invocation.showUsage = true;
  }
  if (!invocation.error.empty() && AsksForHelp(operands) && at < args.size()) {
    invocation.action = Invocation::Action::kHelp;
    invocation.helpFor = args[at];
    invocation.error.clear();
  }
  if (!invocation.error.empty()) invocation.json = json;
  return invocation;
}

std::string UsageText(const std::string& subcommand) {
  Invocation unused;
  const std::unique_ptr<Declared> declared = Declare(unused);
  if (subcommand.empty()) return declared->app.help();
  const std::string pointer = "(jobctl --help lists the options, exit codes and examples)\n";
  if (subcommand == "info") {
    return "usage: jobctl [OPTIONS] info\nSays which DLL jobctl loads, whether it is Velmora, "
           "its edition and its exports.\n" +
           pointer;
  }
  for (const auto& [sub, info] : declared->calls) {
    if (subcommand != info->subcommand) continue;
    return UsageLine(*info) + "\nCalls " + info->name + " and exits with its status" +
           (info->returnsStatus ? "" : " (it returns nothing; the status is its last error)") +
           ".\n" + pointer;
  }
  return declared->app.help();
}

}  // namespace velmora::jobctl
