#include "export_cases.h"

namespace velmora::test_support {
namespace {

const std::string k300(300, 'n');
const std::string k259(259, 'n');
const std::string kLongFirst(400, 'a');
const std::string kLongSecond(400, 'b');
const std::string kU259(259, 'u');

// A caller's text of exactly 259 bytes that ends where its memory ends: no byte after it may be
// read (under the sanitizers any read past the block is reported).
const char* Unterminated259() {
  static const std::vector<char> text(259, 'u');
  return text.data();
}

}  // namespace

const std::vector<ExportCase>& ExportCases() {
  static const std::vector<ExportCase> cases = {
      {"StartJob(5)", "StartJob", {5}, {}, "5;1279;;", ""},
      {"StartJob(-7)", "StartJob", {-7}, {}, "-7;1279;;", ""},
      {"RestartJob(6)", "RestartJob", {6}, {}, "6;1280;;", ""},
      {"CancelJob(0)", "CancelJob", {0}, {}, "0;1281;;", ""},
      {"DeleteJob(2147483647)", "DeleteJob", {2147483647}, {}, "2147483647;1282;;", ""},
      {"ChangeJobState(7, 2)", "ChangeJobState", {7, 2}, {}, "7;1283;true;", ""},
      {"ChangeJobState(7, -1)", "ChangeJobState", {7, -1}, {}, "7;1283;true;", ""},
      {"ChangeJobState(7, 0)", "ChangeJobState", {7, 0}, {}, "7;1283;false;", ""},
      {"StartJobOnBoot()", "StartJobOnBoot", {}, {}, "-1;1284;;", ""},
      {"SetProcessPriority(2)", "SetProcessPriority", {2}, {}, "2;1285;;", ""},
      {"SetProcessPriority(-15)", "SetProcessPriority", {-15}, {}, "-15;1285;;", ""},
      {"DeleteJobFile(9)", "DeleteJobFile", {9}, {}, "9;1286;;", ""},
      {"DeleteJobFileByName(name)",
       "DeleteJobFileByName",
       {},
       {"C:\\jobs\\a b;c|d.txt"},
       "-1;1286;C:\\jobs\\a b;c|d.txt;",
       ""},
      {"DeleteJobFileByName(empty)", "DeleteJobFileByName", {}, {""}, "-1;1286;;", ""},
      {"DeleteJobFileByName(300 bytes)",
       "DeleteJobFileByName",
       {},
       {k300.c_str()},
       "-1;1286;" + k259 + ";",
       "-1;1286;" + k259.substr(0, 251)},
      {"DeleteJobFileByName(259 bytes)",
       "DeleteJobFileByName",
       {},
       {k259.c_str()},
       "-1;1286;" + k259 + ";",
       "-1;1286;" + k259.substr(0, 251)},
      {"DeleteJobFileByName(259 bytes, unterminated)",
       "DeleteJobFileByName",
       {},
       {Unterminated259()},
       "-1;1286;" + kU259 + ";",
       "-1;1286;" + kU259.substr(0, 251)},
      {"DeleteJobProfile(4)", "DeleteJobProfile", {4}, {}, "4;1287;;", ""},
      {"StartMigJob(7, text)", "StartMigJob", {7}, {"from|to;x"}, "7;1289;from|to;x;", ""},
      {"StartMigJob(7, ANSI text)",
       "StartMigJob",
       {7},
       {"src=\xE9t\xE9"},
       "7;1289;src=\xE9t\xE9;",
       ""},
      {"StartMigJob(7, 300 bytes)",
       "StartMigJob",
       {7},
       {k300.c_str()},
       "7;1289;" + k259 + ";",
       "7;1289;" + k259.substr(0, 252)},
      {"StartMigJob(7, 259 bytes, unterminated)",
       "StartMigJob",
       {7},
       {Unterminated259()},
       "7;1289;" + kU259 + ";",
       "7;1289;" + kU259.substr(0, 252)},
      {"StartSyncJob(3, a, b)", "StartSyncJob", {3}, {"a", "b"}, "3;1290;a|b;", ""},
      {"StartSyncJob(3, empty, empty)", "StartSyncJob", {3}, {"", ""}, "3;1290;|;", ""},
      {"StartSyncJob(3, 400, 400) cut to the field",
       "StartSyncJob",
       {3},
       {kLongFirst.c_str(), kLongSecond.c_str()},
       "3;1290;" + kLongFirst + "|" + std::string(122, 'b') + ";",
       "3;1290;" + std::string(252, 'a')},
      {"RunProcAsAdmin(cmd)",
       "RunProcAsAdmin",
       {},
       {"cmd.exe /c \"dir\" C:\\a.txt"},
       "-1;1291;cmd.exe /c \"dir\" C:\\a.txt;",
       ""},
      {"RunProcAsAdmin(300 bytes)",
       "RunProcAsAdmin",
       {},
       {k300.c_str()},
       "-1;1291;" + k259 + ";",
       "-1;1291;" + k259.substr(0, 251)},
      {"RunProcAsAdmin(259 bytes, unterminated)",
       "RunProcAsAdmin",
       {},
       {Unterminated259()},
       "-1;1291;" + kU259 + ";",
       "-1;1291;" + kU259.substr(0, 251)},
  };
  return cases;
}

}  // namespace velmora::test_support
