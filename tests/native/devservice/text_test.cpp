// One reading of a request's bytes (the host's ANSI code page, Windows-1252 here) for the rules,
// the journal and verify; names from a rules file as written.
#include <gtest/gtest.h>

#include <string>

#include "journal/entry.h"
#include "journal/verify.h"
#include "rules/rules.h"
#include "text/text_model.h"

namespace velmora::devservice {
namespace {

TEST(DevServiceText, RulesJournalAndVerifyReadARequestsBytesAlike) {
  const struct {
    const char* condition;  // a rule's "text", and verify's --text
    std::string param;      // the bytes a host sent
    bool holds;
    const char* journaled;  // the journal's "param", as JSON writes it
  } rows[] = {
      {"contains:\xc3\xa9", "caf\xe9", true, R"("caf\u00e9")"},             // é in cp1252
      {"contains:\xc3\xa9", "caf\xc3\xa9", false, R"("caf\u00c3\u00a9")"},  // UTF-8 is not ANSI
      {"re:caf.x", "caf\xe9x", true, R"("caf\u00e9x")"},  // "." takes one character
      {"re:caf.x", "caf\xc3\xa9x", false, R"("caf\u00c3\u00a9x")"},
      {"contains:\xe2\x82\xac", "\x80", true, R"("\u20ac")"},  // 0x80 is the euro sign
      {"contains:\\x81", "a\x81", true, R"("a\\x81")"},        // no character: kept, escaped
  };
  for (const auto& row : rows) {
    TextMatch match;
    std::string error;
    ASSERT_TRUE(ReadTextMatch(row.condition, match, error)) << error;
    EXPECT_EQ(match.Holds(DecodeAnsi(row.param, Windows1252())), row.holds) << row.condition;

    Request request;
    request.wellFormed = true;
    request.jobId = 5;
    request.command = 1286;
    request.param = row.param;
    Decision decision;
    decision.rule = "caf\xc3\xa9";  // UTF-8 from the rules file, journaled as written
    decision.status = 0;
    decision.message =
        "\xc3\xa9"
        "chec";
    const std::string line = JsonLine(1, 7, {2026, 12, 9, 3, 0, 0, 0}, &request, decision);
    EXPECT_NE(line.find(std::string("\"param\":") + row.journaled), std::string::npos) << line;
    EXPECT_NE(line.find(R"("rule":"caf\u00e9")"), std::string::npos) << line;
    EXPECT_NE(line.find(R"("message":"\u00e9chec")"), std::string::npos) << line;

    VerifyConditions verify;
    verify.text = row.condition;
    std::string report;
    long count = -1;
    CheckJournal(line, verify, report, &count);
    EXPECT_EQ(count, row.holds ? 1 : 0) << row.condition << ": " << report;
  }
}

// A pattern that gives up on a text is said to, not taken for a plain miss.
TEST(DevServiceText, VerifySaysWhenItsPatternGaveUp) {
  Request request;
  request.wellFormed = true;
  request.jobId = -1;
  request.command = 1286;
  request.param = std::string(259, 'a');
  Decision decision;
  decision.status = 0;
  std::string journal;
  for (std::uint64_t seq = 1; seq <= 3; ++seq) {
    journal += JsonLine(seq, 7, {2026, 12, 9, 3, 0, 0, 0}, &request, decision);
  }
  VerifyConditions verify;
  verify.text = "re:(a|aa)*b|a*";
  std::string report;
  CheckJournal(journal, verify, report, nullptr);
  EXPECT_NE(report.find("the pattern gave up on 3 request text(s)"), std::string::npos) << report;
}

TEST(DevServiceText, LabelsAreCutAtCharacterBoundaries) {
  const std::string text = std::string(36, 'a') + "\xc3\xa9\xc3\xa9\xc3\xa9";
  EXPECT_EQ(CutUtf8(text, 37), std::string(36, 'a'));
  EXPECT_EQ(CutUtf8(text, 38), std::string(36, 'a') + "\xc3\xa9");
  EXPECT_EQ(CutUtf8("ab", 5), "ab");
  EXPECT_EQ(FirstNonUtf8("ok \xc3\xa9 \xe9"), 6u);
  EXPECT_EQ(FirstNonUtf8("\xed\xa0\x80"), 0u);  // a surrogate
  EXPECT_FALSE(FirstNonUtf8("caf\xc3\xa9 \xe2\x82\xac"));
}

}  // namespace
}  // namespace velmora::devservice
