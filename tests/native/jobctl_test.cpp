// jobctl's command line and what it prints, without loading anything.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.h"
#include "output.h"
#include "utf8.h"

namespace velmora::jobctl {
namespace {

using tools::Utf8;

struct LineCase {
  std::vector<std::wstring> args;
  std::string call;   // DescribeCall, or "" when the line is refused
  std::string error;  // part of the error, when refused
};

TEST(JobctlCommandLine, EverySubcommandAndItsOperands) {
  const LineCase cases[] = {
      {{L"start", L"5"}, "StartJob(5)", ""},
      {{L"restart", L"-7"}, "RestartJob(-7)", ""},
      {{L"cancel", L"0"}, "CancelJob(0)", ""},
      {{L"delete", L"2147483647"}, "DeleteJob(2147483647)", ""},
      {{L"set-state", L"7", L"on"}, "ChangeJobState(7, 1)", ""},
      {{L"set-state", L"7", L"off"}, "ChangeJobState(7, 0)", ""},
      {{L"set-state", L"7", L"true"}, "ChangeJobState(7, 1)", ""},
      {{L"start-on-boot"}, "StartJobOnBoot()", ""},
      {{L"priority", L"-2"}, "SetProcessPriority(-2)", ""},
      {{L"delete-file", L"4"}, "DeleteJobFile(4)", ""},
      {{L"delete-file-by-name", L"C:\\x.txt"}, "DeleteJobFileByName(\"C:\\\\x.txt\")", ""},
      {{L"delete-profile", L"4"}, "DeleteJobProfile(4)", ""},
      {{L"mig", L"3", L"cfg"}, "StartMigJob(3, \"cfg\")", ""},
      {{L"sync", L"3", L"a", L"b"}, "StartSyncJob(3, \"a\", \"b\")", ""},
      {{L"run-as-admin", L"notepad.exe x"}, "RunProcAsAdmin(\"notepad.exe x\")", ""},
      {{L"--json", L"--timeout", L"2", L"start", L"1"}, "StartJob(1)", ""},
      {{L"start", L"1", L"--dll", L"C:\\v\\Velmora.dll"}, "StartJob(1)", ""},
      {{L"mig", L"3", L"--", L"--json"}, "StartMigJob(3, \"--json\")", ""},
      {{L"mig", L"3", L"-x"}, "StartMigJob(3, \"-x\")", ""},
      {{L"mig", L"3", L"caf\u00e9"}, "StartMigJob(3, \"caf\\u00e9\")", ""},
      // Refused lines.
      {{}, "", "no subcommand"},
      {{L"launch", L"5"}, "", "unknown subcommand launch"},
      {{L"--verbose", L"start", L"5"}, "", "unknown option --verbose"},
      {{L"start"}, "", "usage: jobctl start JOB"},
      {{L"start", L"5", L"6"}, "", "usage: jobctl start JOB"},
      {{L"start-on-boot", L"1"}, "", "usage: jobctl start-on-boot"},
      {{L"sync", L"3", L"a"}, "", "usage: jobctl sync JOB FIRST SECOND"},
      {{L"start", L"five"}, "", "five is not a 32-bit whole number"},
      {{L"start", L"2147483648"}, "", "not a 32-bit whole number"},
      {{L"start", L"5x"}, "", "not a 32-bit whole number"},
      {{L"start", L""}, "", "not a 32-bit whole number"},
      {{L"set-state", L"7", L"maybe"}, "", "on or off"},
      {{L"--timeout", L"0", L"start", L"5"}, "", "--timeout"},
      {{L"--timeout", L"soon", L"start", L"5"}, "", "--timeout"},
      {{L"start", L"5", L"--timeout"}, "", "--timeout"},
      {{L"--dll"}, "", "--dll needs a path"},
      {{L"info", L"extra"}, "", "info takes no operands"},
  };
  for (const LineCase& c : cases) {
    const Invocation invocation = ParseCommandLine(c.args);
    const std::string line = c.args.empty() ? "(empty)" : Utf8(c.args[0]) + " ...";
    if (c.call.empty()) {
      EXPECT_NE(invocation.error.find(c.error), std::string::npos)
          << line << ": got \"" << invocation.error << "\"";
      continue;
    }
    ASSERT_TRUE(invocation.error.empty()) << line << ": " << invocation.error;
    ASSERT_EQ(invocation.action, Invocation::Action::kCall) << line;
    EXPECT_EQ(DescribeCall(invocation), c.call) << line;
  }
}

TEST(JobctlCommandLine, OptionsAndOtherActions) {
  Invocation invocation = ParseCommandLine(
      {L"--dll", L"D:\\ed2\\Velmora.dll", L"--timeout", L"1.5", L"--json", L"start", L"5"});
  EXPECT_EQ(invocation.dllPath, L"D:\\ed2\\Velmora.dll");
  EXPECT_DOUBLE_EQ(invocation.timeoutSeconds, 1.5);
  EXPECT_TRUE(invocation.json);
  EXPECT_EQ(ParseCommandLine({L"info"}).action, Invocation::Action::kInfo);
  EXPECT_EQ(ParseCommandLine({L"start", L"--help"}).action, Invocation::Action::kHelp);
  EXPECT_EQ(ParseCommandLine({L"/?"}).action, Invocation::Action::kHelp);
}

TEST(JobctlCommandLine, HelpNamesEverySubcommand) {
  const std::string usage = UsageText();
  for (const Subcommand& subcommand : Subcommands()) {
    EXPECT_NE(usage.find(std::string("  ") + subcommand.name + " "), std::string::npos)
        << subcommand.name;
  }
  EXPECT_EQ(Subcommands().size(), 13u);  // every export but the two scheduler no-ops
}

TEST(JobctlOutput, TextAndJsonForEachKindOfResult) {
  const Invocation start = ParseCommandLine({L"start", L"5"});
  CallResult result;
  result.dll = "C:\\velmora\\Velmora.dll";
  result.version = "3.0.0.85";
  EXPECT_EQ(ResultText(start, result), "StartJob(5): status 0 (success)\n");
  EXPECT_EQ(ResultJson(start, result),
            "{\"export\":\"StartJob\",\"call\":\"StartJob(5)\",\"status\":0,\"timedOut\":false,"
            "\"systemText\":null,\"dll\":\"C:\\\\velmora\\\\Velmora.dll\","
            "\"version\":\"3.0.0.85\"}\n");

  result.status = 2;
  result.systemText = "File not found.";
  EXPECT_EQ(ResultText(start, result),
            "StartJob(5): status 2\n  if this is a system error code: File not found.\n");
  EXPECT_NE(ResultJson(start, result)
                .find("\"status\":2,\"timedOut\":false,\"systemText\":"
                      "\"File not found.\""),
            std::string::npos);

  result.status = 995;
  result.timedOut = true;
  EXPECT_NE(ResultText(start, result).find("did not answer in time"), std::string::npos);
  EXPECT_NE(ResultJson(start, result).find("\"timedOut\":true"), std::string::npos);
}

TEST(JobctlOutput, InfoSaysWhatWasFoundInTheDll) {
  LibraryFacts facts;
  facts.dll = "C:\\v2\\Velmora.dll";
  facts.version = "2.0.0.29";
  facts.exported = {"StartScheduler", "StartJob"};
  facts.missing = {"StartSyncJob"};
  EXPECT_EQ(InfoText(facts, false),
            "dll:      C:\\v2\\Velmora.dll\nversion:  2.0.0.29 (edition 2)\n"
            "exports:  StartScheduler, StartJob\nmissing:  StartSyncJob\n");
  EXPECT_EQ(InfoText(facts, true),
            "{\"dll\":\"C:\\\\v2\\\\Velmora.dll\",\"version\":\"2.0.0.29\",\"edition\":2,"
            "\"exports\":[\"StartScheduler\", \"StartJob\"],\"missing\":[\"StartSyncJob\"]}\n");
  facts.version = "unknown";
  facts.missing.clear();
  EXPECT_NE(InfoText(facts, false).find("(edition unknown)"), std::string::npos);
  EXPECT_NE(InfoText(facts, false).find("missing:  none"), std::string::npos);
  EXPECT_NE(InfoText(facts, true).find("\"edition\":null"), std::string::npos);
  // Every export but the scheduler no-ops has a subcommand; info looks for all fifteen.
  EXPECT_EQ(InfoExportNames().size(), 15u);
}

TEST(JobctlOutput, Utf8FromWideText) {
  EXPECT_EQ(Utf8(L"abc"), "abc");
  EXPECT_EQ(Utf8(L"caf\u00e9"), "caf\xc3\xa9");
  EXPECT_EQ(Utf8(L"\u20ac"), "\xe2\x82\xac");
}

}  // namespace
}  // namespace velmora::jobctl
