// jobctl's command line and what it prints, without loading anything.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.h"
#include "library_info.h"
#include "report.h"
#include "wide_text.h"

namespace velmora::jobctl {
namespace {

using Action = Invocation::Action;

struct LineCase {
  std::vector<std::string> args;
  Action action;
  std::string call;   // DescribeCall for a call
  std::string error;  // part of the error, when refused
  bool json = false;
};

TEST(JobctlCommandLine, EverySubcommandItsOperandsAndTheOptions) {
  const LineCase cases[] = {
      {{"start", "5"}, Action::kCall, "StartJob(5)", ""},
      {{"restart", "-7"}, Action::kCall, "RestartJob(-7)", ""},
      {{"cancel", "010"}, Action::kCall, "CancelJob(10)", ""},  // decimal, never octal
      {{"cancel", "0"}, Action::kCall, "CancelJob(0)", ""},
      {{"delete", "2147483647"}, Action::kCall, "DeleteJob(2147483647)", ""},
      {{"set-state", "7", "on"}, Action::kCall, "ChangeJobState(7, 1)", ""},
      {{"set-state", "7", "off"}, Action::kCall, "ChangeJobState(7, 0)", ""},
      {{"set-state", "7", "true"}, Action::kCall, "ChangeJobState(7, 1)", ""},
      {{"start-on-boot"}, Action::kCall, "StartJobOnBoot()", ""},
      {{"priority", "-2"}, Action::kCall, "SetProcessPriority(-2)", ""},
      {{"delete-file", "4"}, Action::kCall, "DeleteJobFile(4)", ""},
      {{"delete-file-by-name", "C:\\x.txt"},
       Action::kCall,
       "DeleteJobFileByName(\"C:\\\\x.txt\")",
       ""},
      {{"delete-profile", "4"}, Action::kCall, "DeleteJobProfile(4)", ""},
      {{"mig", "3", "cfg"}, Action::kCall, "StartMigJob(3, \"cfg\")", ""},
      {{"sync", "3", "a", "b"}, Action::kCall, "StartSyncJob(3, \"a\", \"b\")", ""},
      {{"run-as-admin", "notepad.exe x"}, Action::kCall, "RunProcAsAdmin(\"notepad.exe x\")", ""},
      {{"mig", "3", "caf\xc3\xa9"}, Action::kCall, "StartMigJob(3, \"caf\\u00e9\")", ""},
      // After the subcommand everything is an operand: texts may look like options.
      {{"mig", "3", "--", "--json"}, Action::kCall, "StartMigJob(3, \"--json\")", ""},
      {{"mig", "5", "--json"}, Action::kCall, "StartMigJob(5, \"--json\")", ""},
      {{"mig", "3", "-x"}, Action::kCall, "StartMigJob(3, \"-x\")", ""},
      {{"delete-file-by-name", "/?"}, Action::kCall, "DeleteJobFileByName(\"/?\")", ""},
      {{"run-as-admin", "-h"}, Action::kCall, "RunProcAsAdmin(\"-h\")", ""},
      // A "--" right after the subcommand is dropped, and what follows is still an operand.
      {{"run-as-admin", "--", "-h"}, Action::kCall, "RunProcAsAdmin(\"-h\")", ""},
      {{"run-as-admin", "--", "--version"}, Action::kCall, "RunProcAsAdmin(\"--version\")", ""},
      {{"delete-file-by-name", "--", "/?"}, Action::kCall, "DeleteJobFileByName(\"/?\")", ""},
      {{"start", "--", "5"}, Action::kCall, "StartJob(5)", ""},
      {{"--json", "start", "--", "--json"}, Action::kCall, "", "not a 32-bit whole number", true},
      {{"mig", "3", "--", "--"}, Action::kCall, "StartMigJob(3, \"--\")", ""},
      // Help for one subcommand, where its operands would be refused otherwise.
      {{"start", "--help"}, Action::kHelp, "", ""},
      {{"sync", "3", "-h"}, Action::kHelp, "", ""},
      {{"info", "/?"}, Action::kHelp, "", ""},
      {{"start", "--", "--help"}, Action::kCall, "", "not a 32-bit whole number"},
      {{"run-as-admin", "--help"}, Action::kCall, "RunProcAsAdmin(\"--help\")", ""},
      {{"--json", "--timeout", "2", "start", "1"}, Action::kCall, "StartJob(1)", "", true},
      {{"--timeout=5", "--dll=C:\\v\\Velmora.dll", "start", "1"}, Action::kCall, "StartJob(1)", ""},
      // Other actions.
      {{"info"}, Action::kInfo, "", ""},
      {{"--help"}, Action::kHelp, "", ""},
      {{"-h"}, Action::kHelp, "", ""},
      {{"/?"}, Action::kHelp, "", ""},
      {{"--json", "--help"}, Action::kHelp, "", "", true},
      {{"--version", "--json"}, Action::kVersion, "", "", true},
      // Refused lines; a failure answers in JSON when --json was anywhere before "--".
      {{}, Action::kHelp, "", "no subcommand"},
      {{"--json"}, Action::kHelp, "", "no subcommand", true},
      {{"launch", "5"}, Action::kHelp, "", "unknown subcommand launch"},
      {{"launch", "--json"}, Action::kHelp, "", "unknown subcommand launch", true},
      {{"--verbose", "start", "5"}, Action::kHelp, "", "unknown option --verbose"},
      {{"start"}, Action::kCall, "", "usage: jobctl [OPTIONS] start JOB"},
      {{"start", "5", "--json"},
       Action::kCall,
       "",
       "usage: jobctl [OPTIONS] start JOB (--json goes before the subcommand)",
       true},
      {{"start-on-boot", "1"}, Action::kCall, "", "usage: jobctl [OPTIONS] start-on-boot"},
      {{"sync", "3", "a"}, Action::kCall, "", "usage: jobctl [OPTIONS] sync JOB FIRST SECOND"},
      {{"start", "five"}, Action::kCall, "", "five is not a 32-bit whole number"},
      {{"start", "2147483648"}, Action::kCall, "", "not a 32-bit whole number"},
      {{"start", "5x"}, Action::kCall, "", "not a 32-bit whole number"},
      {{"start", "0x10"}, Action::kCall, "", "not a 32-bit whole number"},
      {{"start", ""}, Action::kCall, "", "not a 32-bit whole number"},
      {{"set-state", "7", "maybe"}, Action::kCall, "", "on or off"},
      {{"--timeout", "0", "start", "5"}, Action::kHelp, "", "--timeout"},
      {{"--timeout", "90000", "start", "5"}, Action::kHelp, "", "--timeout"},
      {{"--timeout", "soon", "start", "5"}, Action::kHelp, "", "--timeout"},
      // A time limit is a plain finite number: NaN would leave the call unbounded.
      {{"--timeout", "nan", "start", "5"}, Action::kHelp, "", "--timeout"},
      {{"--timeout=NaN", "start", "5"}, Action::kHelp, "", "--timeout"},
      {{"--timeout", "-nan", "start", "5"}, Action::kHelp, "", "--timeout"},
      {{"--timeout", "inf", "start", "5"}, Action::kHelp, "", "--timeout"},
      {{"--timeout", "0x1p-5", "start", "5"}, Action::kHelp, "", "--timeout"},
      {{"--timeout", "1e3", "start", "5"}, Action::kHelp, "", "--timeout"},
      {{"--timeout", "-1", "start", "5"}, Action::kHelp, "", "--timeout"},
      {{"--timeout", ".", "start", "5"}, Action::kHelp, "", "--timeout"},
      {{"--timeout", "0.0005", "start", "5"}, Action::kHelp, "", "--timeout"},
      {{"--timeout", ".5", "start", "5"}, Action::kCall, "StartJob(5)", ""},
      {{"--timeout", "86400", "start", "5"}, Action::kCall, "StartJob(5)", ""},
      // --json in any form the parser takes as true answers a refusal in JSON.
      {{"--json=1", "bogus"}, Action::kHelp, "", "unknown subcommand bogus", true},
      {{"--json=true", "start", "x"}, Action::kCall, "", "not a 32-bit whole number", true},
      {{"--json=false", "bogus"}, Action::kHelp, "", "unknown subcommand bogus", false},
      {{"--json", "--timeout", "nan", "start", "1"}, Action::kHelp, "", "--timeout", true},
      {{"--dll"}, Action::kHelp, "", "--dll"},
      {{"--dll", "", "start", "5"}, Action::kHelp, "", "needs a path"},
      // An empty value after "=" is the option's, not the next word's.
      {{"--dll=", "start", "5"}, Action::kHelp, "", "--dll: needs a path"},
      {{"--timeout=", "start", "5"}, Action::kHelp, "", "--timeout: needs seconds"},
      {{"--dll=", "--timeout=1", "start", "5"}, Action::kHelp, "", "--dll: needs a path"},
      {{"--dll", "--json", "start", "1"}, Action::kHelp, "", "not the option --json", true},
      {{"info", "extra"}, Action::kInfo, "", "info takes no operands"},
  };
  for (const LineCase& c : cases) {
    const Invocation invocation = ParseCommandLine(c.args);
    std::string line;
    for (const std::string& arg : c.args) line += " [" + arg + "]";
    EXPECT_EQ(invocation.json, c.json) << line;
    if (!c.error.empty()) {
      EXPECT_NE(invocation.error.find(c.error), std::string::npos)
          << line << ": got \"" << invocation.error << "\"";
      continue;
    }
    ASSERT_EQ(invocation.error, "") << line;
    EXPECT_EQ(invocation.action, c.action) << line;
    if (c.action == Action::kCall) {
      EXPECT_EQ(DescribeCall(invocation), c.call) << line;
    }
  }
  const Invocation options =
      ParseCommandLine({"--dll", "D:\\ed2\\Velmora.dll", "--timeout", "1.5", "-q", "start", "5"});
  EXPECT_EQ(options.dllPath, "D:\\ed2\\Velmora.dll");
  EXPECT_DOUBLE_EQ(options.timeoutSeconds, 1.5);
  EXPECT_TRUE(options.quiet);
  EXPECT_TRUE(ParseCommandLine({}).showUsage);  // a bare jobctl shows how to call it
  EXPECT_EQ(ParseCommandLine({"sync", "3", "-h"}).helpFor, "sync");
}

TEST(JobctlCommandLine, HelpListsEverySubcommandAndEachHasItsOwnUsage) {
  const std::string usage = UsageText();
  for (const tools::ExportInfo& info : tools::kExports) {
    if (info.subcommand == nullptr) continue;
    EXPECT_NE(usage.find(std::string("  ") + info.subcommand + " "), std::string::npos)
        << info.subcommand;
    // "jobctl start --help" describes start, and says so when the export returns nothing.
    const std::string own = UsageText(info.subcommand);
    EXPECT_EQ(own.rfind(std::string("usage: jobctl [OPTIONS] ") + info.subcommand, 0), 0u) << own;
    EXPECT_NE(own.find(std::string("Calls ") + info.name + " "), std::string::npos) << own;
    EXPECT_EQ(own.find("last error") != std::string::npos, !info.returnsStatus) << own;
  }
  EXPECT_EQ(UsageText("info").rfind("usage: jobctl [OPTIONS] info\n", 0), 0u);
}

TEST(JobctlReport, ExitCodesNeverReadAsSuccessInTheirLowByte) {
  const struct {
    std::int32_t status;
    int exitCode;
  } rows[] = {
      {0, 0},
      {2, 2},
      {5023, 5023},
      {-3, -3},
      {256, 511},
      {512, 767},
      {1280, 1535},
      {-256, -1},
      {259, 511},  // never STILL_ACTIVE, which a parent would take for a running process
      {258, 258},
      {260, 260},
      {kExitUsage, 1639},
      {kExitMissingExport, 127},
      {kExitCannotLoad, 1157},
      {kExitNotRepresentable, 1113},
  };
  for (const auto& row : rows) {
    const int exitCode = ExitCodeFor(row.status);
    EXPECT_EQ(exitCode, row.exitCode) << row.status;
    if (row.status != 0) {
      EXPECT_NE(exitCode & 0xFF, 0) << row.status;
    }
  }
}

TEST(JobctlReport, TextAndJsonForEachKindOfResult) {
  const Invocation start = ParseCommandLine({"start", "5"});
  CallResult result;
  result.dll = "C:\\velmora\\Velmora.dll";
  result.version = "3.0.0.85";
  EXPECT_EQ(ResultText(start, result), "StartJob(5): status 0 (success)\n");
  EXPECT_EQ(ResultJson(start, result),
            "{\"export\":\"StartJob\",\"call\":\"StartJob(5)\",\"status\":0,\"exitCode\":0,"
            "\"timedOut\":false,\"systemText\":null,\"meaning\":\"success\","
            "\"mayHaveActed\":true,\"notes\":[],\"dll\":\"C:\\\\velmora\\\\Velmora.dll\","
            "\"version\":\"3.0.0.85\"}\n");

  result.status = 1168;
  result.systemText = "Element not found.";
  EXPECT_EQ(ResultText(start, result),
            "StartJob(5): status 1168\n  if this is a system error code: Element not found.\n");

  result.status = 512;
  result.timedOut = true;
  result.notes = {"the text is 300 bytes; the library sends its first 259"};
  EXPECT_NE(ResultJson(start, result).find("\"status\":512,\"exitCode\":767,\"timedOut\":true"),
            std::string::npos);
  EXPECT_NE(ResultJson(start, result).find("\"notes\":[\"the text is 300 bytes"),
            std::string::npos);
  EXPECT_EQ(FailureJson("usage", "no subcommand given", 1639),
            "{\"error\":\"usage\",\"message\":\"no subcommand given\",\"exitCode\":1639}\n");
  EXPECT_EQ(FailureText("no subcommand given"), "jobctl: no subcommand given\n");
  // Messages are UTF-8: a character outside ASCII comes out as its own escape.
  EXPECT_EQ(FailureJson("text", "C:\\\xCE\xA9mega has \xCE\xA9 (U+03A9)", 1113),
            "{\"error\":\"text\",\"message\":\"C:\\\\\\u03a9mega has \\u03a9 (U+03A9)\","
            "\"exitCode\":1113}\n");
  EXPECT_EQ(VersionJson("3.0.0.85"), "{\"version\":\"3.0.0.85\"}\n");
}

TEST(JobctlReport, SaysPlainlyWhatTheTransportCodesMean) {
  const struct {
    int status;
    bool timedOut;
    bool written;
    const char* meaning;  // a part of it; "" for a status with no reading of its own
    bool mayHaveActed;
  } rows[] = {
      {0, false, true, "success", true},  // carried out: written, so it may have acted
      {2, false, false, "no service is listening on \\\\.\\pipe\\pipe_job", false},
      {231, false, false, "stayed busy; nothing was sent", false},
      {121, false, false, "stayed busy; nothing was sent", false},
      {109, false, true, "closed the connection before its reply came", true},
      {232, false, false, "before it read the request; its request had not been sent", false},
      {233, false, true, "closed the connection before its reply came", true},
      {230, false, true, "empty messages", true},
      {995, false, true, "cancelled before the reply came", true},
      {995, true, true, "did not answer in time", true},
      // Cancelled while it still waited for a busy instance: the service never saw it.
      {995, true, false, "its request had not been sent", false},
      {995, false, false, "its request had not been sent", false},
      {676, false, false, "stopped while the call waited for a busy instance", false},
      {5023, false, true, "", true},
      {87, false, true, "", true},
  };
  for (const auto& row : rows) {
    const StatusMeaning meaning = MeaningOf(row.status, row.timedOut, row.written);
    if (*row.meaning == '\0') {
      EXPECT_EQ(meaning.text, "") << row.status;
    } else {
      EXPECT_NE(meaning.text.find(row.meaning), std::string::npos)
          << row.status << ": " << meaning.text;
    }
    EXPECT_EQ(meaning.mayHaveActed, row.mayHaveActed) << row.status << " " << row.written;
    if (!meaning.text.empty() && row.status != 0) {
      EXPECT_EQ(meaning.text.find("may already have acted") != std::string::npos, row.mayHaveActed)
          << row.status;
    }
  }
}

TEST(JobctlReport, NotesWhereTheLibraryCutsTheTexts) {
  const Invocation byName = ParseCommandLine({"delete-file-by-name", "x"});
  const Invocation mig = ParseCommandLine({"mig", "12345", "x"});
  const Invocation sync = ParseCommandLine({"sync", "3", "a", "b"});
  const Invocation start = ParseCommandLine({"start", "5"});
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

TEST(JobctlReport, NamesTheCharacterThatCannotBeSent) {
  const struct {
    std::wstring text;
    std::size_t at;
    const char* name;
    std::size_t next;
  } rows[] = {
      {L"C:\\\x03A9mega", 3, "U+03A9", 4},
      {std::wstring{L'x', wchar_t(0xD83D), wchar_t(0xDE00)}, 1, "U+1F600", 3},
      {std::wstring{L'x', wchar_t(0xD800), L'y'}, 1, "U+D800, half of a surrogate pair", 2},
      {std::wstring{wchar_t(0xDC00), wchar_t(0xD800)}, 0, "U+DC00, half of a surrogate pair", 1},
      {std::wstring{L'x', wchar_t(0xD800)}, 1, "U+D800, half of a surrogate pair", 2},
  };
  for (const auto& row : rows) {
    std::size_t i = row.at;
    EXPECT_EQ(tools::CharacterName(row.text, i), row.name);
    EXPECT_EQ(i, row.next) << row.name;
  }
}

TEST(JobctlLibraryInfo, ALoadFailureNamesTheBitnessOrThatItIsNoDll) {
  std::string image = "MZ" + std::string(0x3A, '\0') + std::string("\x40\0\0\0PE\0\0", 8);
  EXPECT_EQ(LoadFailure("C:\\x64\\Velmora.dll", 193, "Bad EXE format for %1.", "32-bit x86", image),
            "cannot load C:\\x64\\Velmora.dll: it is not a 32-bit x86 DLL, which this jobctl "
            "needs; for a DLL of the other bitness use that jobctl (error 193)");
  // A text file, and a file whose header points past its end, are no Windows DLL at all.
  for (const std::string& head : {std::string("notes"), image.substr(0, 0x42)}) {
    EXPECT_EQ(LoadFailure("notes.txt", 193, "Bad EXE format for %1.", "32-bit x86", head),
              "cannot load notes.txt: it is not a Windows DLL (error 193)");
  }
  EXPECT_EQ(
      LoadFailure("C:\\no\\Velmora.dll", 126, "The specified module could not be found.", "x", ""),
      "cannot load C:\\no\\Velmora.dll: The specified module could not be found. (error 126)");
}

TEST(JobctlLibraryInfo, InfoSaysWhatWasFoundInTheDll) {
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
            "\"edition\":2,\"exports\":[\"StartScheduler\",\"StopScheduler\",\"StartJob\"],"
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
  EXPECT_FALSE(IsVelmora(other));
  EXPECT_EQ(EditionOf(other), 0);
  EXPECT_NE(InfoText(other, false).find("not Velmora: it lacks every Velmora export"),
            std::string::npos);
  facts.variable = false;  // the functions without the variable are not Velmora either
  EXPECT_FALSE(IsVelmora(facts));
}

}  // namespace
}  // namespace velmora::jobctl
