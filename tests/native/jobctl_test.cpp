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
      {{L"--dll", L"", L"start", L"5"}, "", "--dll needs a path"},
      {{L"--timeout", L"", L"start", L"5"}, "", "from 0.001 to 86400, not \"\""},
      {{L"--timeout", L"90000", L"start", L"5"}, "", "from 0.001 to 86400, not \"90000\""},
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
  EXPECT_EQ(ParseCommandLine({L"--version"}).action, Invocation::Action::kVersion);
  EXPECT_TRUE(ParseCommandLine({L"--quiet", L"start", L"5"}).quiet);
  EXPECT_TRUE(ParseCommandLine({L"-q", L"start", L"5"}).quiet);
}

TEST(JobctlCommandLine, OwnFailuresExitWithCodesAScriptCannotTakeForSuccessOrNoService) {
  for (const int code : {kExitUsage, kExitMissingExport, kExitCannotLoad, kExitNotRepresentable}) {
    EXPECT_NE(code, 0);
    EXPECT_NE(code, 2);
    EXPECT_NE(code & 0xFF, 0) << code;  // nor as a Unix shell under Wine sees them
    EXPECT_NE(code & 0xFF, 2) << code;
  }
  EXPECT_EQ(kExitUsage, 1639);  // ERROR_INVALID_COMMAND_LINE
}

TEST(JobctlCommandLine, TheHelpExampleReadsTheExitCodeOnItsOwnLine) {
  const std::string usage = UsageText();
  EXPECT_EQ(usage.find("|| echo failed with %ERRORLEVEL%"), std::string::npos);
  EXPECT_NE(usage.find("    jobctl --quiet start 5\n    if errorlevel 1 echo failed with "
                       "%ERRORLEVEL%\n"),
            std::string::npos);
  for (const char* text : {"1639", "1157", "127", "1113", "0.001 to 86400", "--quiet"}) {
    EXPECT_NE(usage.find(text), std::string::npos) << text;
  }
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
            "\"systemText\":null,\"meaning\":\"success\",\"mayHaveActed\":false,\"notes\":[],"
            "\"dll\":\"C:\\\\velmora\\\\Velmora.dll\",\"version\":\"3.0.0.85\"}\n");

  result.status = 1168;
  result.systemText = "Element not found.";
  EXPECT_EQ(ResultText(start, result),
            "StartJob(5): status 1168\n  if this is a system error code: Element not found.\n");
  EXPECT_NE(ResultJson(start, result)
                .find("\"status\":1168,\"timedOut\":false,\"systemText\":\"Element not found.\","
                      "\"meaning\":null,\"mayHaveActed\":false"),
            std::string::npos);

  result.status = 995;
  result.timedOut = true;
  result.notes = {"the text is 300 bytes; the library sends its first 259"};
  EXPECT_NE(ResultText(start, result).find("did not answer in time"), std::string::npos);
  EXPECT_NE(ResultText(start, result).find("may already have acted"), std::string::npos);
  EXPECT_NE(ResultJson(start, result).find("\"timedOut\":true"), std::string::npos);
  EXPECT_NE(ResultJson(start, result).find("\"mayHaveActed\":true"), std::string::npos);
  EXPECT_NE(ResultJson(start, result).find("\"notes\":[\"the text is 300 bytes"),
            std::string::npos);
}

TEST(JobctlOutput, SaysPlainlyWhatTheTransportCodesMean) {
  const struct {
    int status;
    bool timedOut;
    const char* meaning;  // a part of it; "" for a status with no reading of its own
    bool mayHaveActed;
  } rows[] = {
      {0, false, "success", false},
      {2, false, "no service is listening on \\\\.\\pipe\\pipe_job", false},
      {231, false, "stayed busy; nothing was sent", false},
      {121, false, "stayed busy; nothing was sent", false},
      {109, false, "closed the connection before its reply came", true},
      {233, false, "closed the connection before its reply came", true},
      {230, false, "empty messages", true},
      {995, false, "cancelled before the reply came", true},
      {995, true, "did not answer in time", true},
      {2, true, "did not answer in time", true},
      {5023, false, "", false},
      {87, false, "", false},
  };
  for (const auto& row : rows) {
    const StatusMeaning meaning = MeaningOf(row.status, row.timedOut);
    if (*row.meaning == '\0') {
      EXPECT_EQ(meaning.text, "") << row.status;
    } else {
      EXPECT_NE(meaning.text.find(row.meaning), std::string::npos)
          << row.status << ": " << meaning.text;
    }
    EXPECT_EQ(meaning.mayHaveActed, row.mayHaveActed) << row.status;
    EXPECT_EQ(meaning.text.find("may already have acted") != std::string::npos, row.mayHaveActed)
        << row.status;
  }
}

TEST(JobctlOutput, NotesWhereTheLibraryCutsTheTexts) {
  const Invocation byName = ParseCommandLine({L"delete-file-by-name", L"x"});
  const Invocation mig = ParseCommandLine({L"mig", L"12345", L"x"});
  const Invocation sync = ParseCommandLine({L"sync", L"3", L"a", L"b"});
  const Invocation start = ParseCommandLine({L"start", L"5"});
  EXPECT_EQ(CutNotes(byName, {259}, 3), std::vector<std::string>{});
  EXPECT_EQ(CutNotes(byName, {300}, 3),
            std::vector<std::string>{"the text is 300 bytes; the library sends its first 259"});
  EXPECT_EQ(CutNotes(sync, {300, 222}, 3), std::vector<std::string>{});  // 523 joined
  EXPECT_EQ(CutNotes(sync, {300, 224}, 3),
            std::vector<std::string>{
                "the two texts joined are 525 bytes; the library sends their first 523"});
  // Edition 2 cuts "job;code;param;" at 259 bytes: "-1;1286;" + 248 + ";" is 257.
  EXPECT_EQ(CutNotes(byName, {248}, 2), std::vector<std::string>{});
  EXPECT_EQ(
      CutNotes(byName, {251}, 2),
      std::vector<std::string>{"the request text is 260 bytes; edition 2 sends its first 259"});
  EXPECT_EQ(CutNotes(mig, {247}, 2).size(), 0u);  // "12345;1289;" + 247 + ";" is 259
  EXPECT_EQ(CutNotes(mig, {248}, 2).size(), 1u);
  EXPECT_EQ(CutNotes(start, {}, 2), std::vector<std::string>{});
}

TEST(JobctlOutput, ALoadFailureNamesTheBitness) {
  std::string pe(0x100, '\0');
  pe.replace(0, 2, "MZ");
  pe[0x3C] = static_cast<char>(0x80);
  pe.replace(0x80, 4, std::string("PE\0\0", 4));
  pe[0x84] = static_cast<char>(0x64);
  pe[0x85] = static_cast<char>(0x86);
  EXPECT_EQ(MachineOfPe(pe), "64-bit x64");
  pe[0x84] = static_cast<char>(0x4C);
  pe[0x85] = static_cast<char>(0x01);
  EXPECT_EQ(MachineOfPe(pe), "32-bit x86");
  EXPECT_EQ(MachineOfPe("MZ"), "");
  EXPECT_EQ(MachineOfPe(std::string(0x100, 'x')), "");

  EXPECT_EQ(LoadFailure("C:\\x64\\Velmora.dll", 193, "Bad EXE format for %1.", "64-bit x64",
                        "32-bit x86"),
            "cannot load C:\\x64\\Velmora.dll: it is a 64-bit x64 DLL and this jobctl is 32-bit "
            "x86; use the jobctl of the DLL's bitness (error 193)");
  EXPECT_EQ(
      LoadFailure("C:\\no\\Velmora.dll", 126, "The specified module could not be found.", "",
                  "32-bit x86"),
      "cannot load C:\\no\\Velmora.dll: The specified module could not be found. (error 126)");
}

TEST(JobctlOutput, FailuresAsJson) {
  EXPECT_EQ(FailureJson("usage", "no subcommand given", 1639),
            "{\"error\":\"usage\",\"message\":\"no subcommand given\",\"exitCode\":1639}\n");
  EXPECT_EQ(FailureText("no subcommand given"), "jobctl: no subcommand given\n");
  // Messages are UTF-8: a character outside ASCII comes out as its own escape.
  EXPECT_EQ(FailureJson("text", "C:\\\xCE\xA9mega has \xCE\xA9 (U+03A9)", 1113),
            "{\"error\":\"text\",\"message\":\"C:\\\\\\u03a9mega has \\u03a9 (U+03A9)\","
            "\"exitCode\":1113}\n");
}

TEST(JobctlOutput, InfoSaysWhatWasFoundInTheDll) {
  LibraryFacts facts;
  facts.dll = "C:\\v2\\Velmora.dll";
  facts.version = "2.0.0.29";
  facts.exported = {"StartScheduler", "StopScheduler", "StartJob"};
  facts.missing = {"StartSyncJob"};
  facts.variable = true;
  EXPECT_EQ(InfoText(facts, false),
            "dll:      C:\\v2\\Velmora.dll\nversion:  2.0.0.29 (edition 2)\n"
            "exports:  StartScheduler, StopScheduler, StartJob\nmissing:  StartSyncJob\n");
  EXPECT_EQ(InfoText(facts, true),
            "{\"dll\":\"C:\\\\v2\\\\Velmora.dll\",\"version\":\"2.0.0.29\",\"velmora\":true,"
            "\"edition\":2,\"exports\":[\"StartScheduler\", \"StopScheduler\", \"StartJob\"],"
            "\"missing\":[\"StartSyncJob\"]}\n");
  facts.version = "unknown";
  facts.missing.clear();
  EXPECT_NE(InfoText(facts, false).find("(edition unknown)"), std::string::npos);
  EXPECT_NE(InfoText(facts, false).find("missing:  none"), std::string::npos);
  EXPECT_NE(InfoText(facts, true).find("\"edition\":null"), std::string::npos);

  // Any other DLL, whatever its version, is not called an edition.
  LibraryFacts other;
  other.dll = "C:\\windows\\system32\\kernel32.dll";
  other.version = "2.5.0.0";
  other.missing = InfoExportNames();
  EXPECT_FALSE(IsVelmora(other));
  EXPECT_EQ(EditionOf(other), 0);
  EXPECT_NE(InfoText(other, false).find("not Velmora: it lacks every Velmora export"),
            std::string::npos);
  EXPECT_NE(InfoText(other, true).find("\"velmora\":false,\"edition\":null"), std::string::npos);
  facts.variable = false;  // the functions without the variable are not Velmora either
  EXPECT_FALSE(IsVelmora(facts));
  // Every export but the scheduler no-ops has a subcommand; info looks for all fifteen.
  EXPECT_EQ(InfoExportNames().size(), 15u);
}

TEST(JobctlOutput, Utf8FromWideText) {
  EXPECT_EQ(Utf8(L"abc"), "abc");
  EXPECT_EQ(Utf8(L"caf\u00e9"), "caf\xc3\xa9");
  EXPECT_EQ(Utf8(L"\u20ac"), "\xe2\x82\xac");
  for (const std::wstring text : {L"abc", L"caf\u00e9", L"\u20ac", L"C:\\\u03a9mega"}) {
    EXPECT_EQ(tools::WideFromUtf8(Utf8(text)), text);
  }
  EXPECT_EQ(tools::WideFromUtf8("a\xff\xc3"), L"a\u00ff\u00c3");  // stray bytes kept as Latin-1
}

}  // namespace
}  // namespace velmora::jobctl
