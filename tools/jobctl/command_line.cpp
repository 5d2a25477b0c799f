#include "command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
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
    "with - or /. Texts are sent in the ANSI code page; a character it cannot hold is refused.\n"
    "\n"
    "Exit code: the call's status (0 on success, else the service's status or a system error\n"
    "code), so %ERRORLEVEL% holds it whole. A shell that sees only the low 8 bits (Git Bash,\n"
    "WSL, Wine) would read a status that is a multiple of 256 as 0: such a status exits with\n"
    "its low 8 bits set (512 exits as 767), and --json always carries the exact status.\n"
    "jobctl's own failures: 1639 bad command line, 1157 the DLL does not load, 127 the DLL\n"
    "lacks the export or is not Velmora, 1113 a text cannot be sent (low 8 bits: 103, 133,\n"
    "127, 89).\n"
    "\n"
    "Examples:\n"
    "  jobctl start 5\n"
    "  jobctl --timeout 10 sync 3 C:\\data\\in C:\\data\\out\n"
    "  jobctl --dll C:\\velmora\\edition2\\Velmora.dll info\n"
    "  in a batch file, on two lines (cmd expands %ERRORLEVEL% in a line before running it):\n"
    "    jobctl --quiet start 5\n"
    "    if errorlevel 1 echo failed with %ERRORLEVEL%\n";

// "on" enables a job and "off" disables it; true/false and 1/0 are understood too.
bool ParseState(const std::string& text, std::int32_t& state) {
  const bool on = text == "on" || text == "true" || text == "1";
  state = on ? 1 : 0;
  return on || text == "off" || text == "false" || text == "0";
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
          [](std::string& path) { return path.empty() ? "needs a path" : NotAnOption(path); }, ""));
  app.add_flag("--json", invocation.json, "print one JSON object for any outcome");
  app.add_flag("-q,--quiet", invocation.quiet, "print nothing on success; failures still show");
  app.add_option("--timeout", invocation.timeoutSeconds,
                 "cancel the call's blocked pipe I/O after this long (status 995)")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.001, 86400.0));
  app.require_subcommand(0, 1);
  for (const ExportInfo& info : tools::kExports) {
    if (info.subcommand == nullptr) continue;
    std::string operands = info.operands;
    operands.resize(18, ' ');
    CLI::App* sub = app.add_subcommand(info.subcommand, operands + "calls " + info.name);
    sub->set_help_flag();
    sub->prefix_command();  // everything after the subcommand is an operand
    declared->calls.emplace_back(sub, &info);
  }
  declared->info =
      app.add_subcommand("info", std::string(18, ' ') + "which DLL, its edition and exports");
  app.allow_extras();  // a first word that names no subcommand is reported as such
  app.footer(kFooter);
  return declared;
}

std::string ReadOperands(const ExportInfo& call, std::vector<std::string> operands,
                         Invocation& invocation) {
  // The first "--" only marks where options would end; all of these are operands anyway.
  const auto separator = std::find(operands.begin(), operands.end(), "--");
  if (separator != operands.end()) operands.erase(separator);
  std::istringstream words(call.operands);
  std::vector<std::string> names{std::istream_iterator<std::string>(words), {}};
  if (operands.size() != names.size()) {
    return "usage: jobctl [OPTIONS] " + std::string(call.subcommand) + (names.empty() ? "" : " ") +
           call.operands;
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

Invocation ParseCommandLine(const std::vector<std::string>& args) {
  Invocation invocation;
  // A command line that is not understood answers in JSON when --json stands anywhere in it
  // (before "--"), even where the parse stopped before it or took it for an operand.
  bool json = false;
  for (const std::string& arg : args) {
    if (arg == "--") break;
    json = json || arg == "--json";
  }
  std::unique_ptr<Declared> declared = Declare(invocation);
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    declared->app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    invocation.action = Invocation::Action::kHelp;
    return invocation;
  } catch (const CLI::ParseError& e) {
    invocation.json = json;
    invocation.error = e.what();
    return invocation;
  }
  const std::vector<std::string> stray = declared->app.remaining();
  if (declared->version) {
    invocation.action = Invocation::Action::kVersion;
  } else if (!stray.empty() && stray[0] == "/?") {
    invocation.action = Invocation::Action::kHelp;
  } else if (!stray.empty()) {
    invocation.error =
        (stray[0].rfind('-', 0) == 0 ? "unknown option " : "unknown subcommand ") + stray[0];
  } else if (declared->info->parsed()) {
    invocation.action = Invocation::Action::kInfo;
  } else {
    for (const auto& [sub, info] : declared->calls) {
      if (!sub->parsed()) continue;
      invocation.action = Invocation::Action::kCall;
      invocation.call = info;
      invocation.error = ReadOperands(*info, sub->remaining(), invocation);
    }
    if (invocation.call == nullptr) invocation.error = "no subcommand given";
  }
  if (!invocation.error.empty()) invocation.json = json;
  return invocation;
}

std::string UsageText() {
  Invocation unused;
  return Declare(unused)->app.help();
}

}  // namespace velmora::jobctl
