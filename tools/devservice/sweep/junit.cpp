#include "sweep/junit.h"

#include <cstdio>

#include "text/text_model.h"

namespace velmora::devservice {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// The length of the UTF-8 character at `at`, or 0 where no valid one starts.
std::size_t CharacterAt(const std::string& text, std::size_t at) {
  const std::optional<std::size_t> bad = FirstNonUtf8(std::string_view(text).substr(at, 4));
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  return (bad && *bad < length) || at + length > text.size() ? 0 : length;
}

// `text` as XML character data or an attribute's value (quoted with ").
std::string Xml(const std::string& text) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const char c = text[at];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      const std::size_t length = CharacterAt(text, at);
      out += length == 0 ? kReplacement : text.substr(at, length);
      at += length == 0 ? 1 : length;
      continue;
    }
    ++at;
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\t':
      case '\n':
      case '\r':
        out += c;
        break;
      default:
        // The other control characters are not XML 1.0 characters at all, not even escaped.
        out += byte < 0x20 ? std::string(kReplacement) : std::string(1, c);
    }
  }
  return out;
}

std::string Seconds(std::uint64_t ms) {
  char text[32];
  (void)std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ms) / 1000);
  return text;
}

// The host's file name without its folder or ".exe": the class its runs' cases belong to.
std::string HostClass(const SweepReport& report) {
  if (report.host.empty()) return "host";
  std::string name = report.host.front();
  const std::size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  if (name.size() > 4) {
    std::string end = name.substr(name.size() - 4);
    for (char& c : end) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (end == ".exe") name.erase(name.size() - 4);
  }
  return name.empty() ? "host" : name;
}

}  // namespace

std::string ReportJUnit(const SweepReport& report) {
  std::size_t failures = 0;
  std::uint64_t ms = report.baseline.ms;
  for (const SweepRun& run : report.runs) {
    failures += VerdictFails(run.verdict, report.allowRepeats) ? 1 : 0;
    ms += run.record.ms;
  }
  const std::string counts = " tests=\"" + std::to_string(report.runs.size()) + "\" failures=\"" +
                             std::to_string(failures) + "\" errors=\"0\" skipped=\"0\" time=\"" +
                             Seconds(ms) + "\"";
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"velmora-devservice "
      "sweep\"" +
      counts + ">\n  <testsuite name=\"velmora-devservice sweep\"" + counts + ">\n";
  const std::string host = Xml(HostClass(report));
  for (std::size_t i = 0; i < report.runs.size(); ++i) {
    const SweepRun& run = report.runs[i];
    const std::string id = RunId(i + 1);
    const std::string verdict = VerdictName(run.verdict);
    std::string how = HowItEnded(run.record);
    if (run.verdict == SweepVerdict::kLooped || run.verdict == SweepVerdict::kRepeated) {
      // What makes it a failure: the faulted request sent on and on, or after it was done.
      how += ", the faulted request sent " +
             std::to_string(Repeats(report.baseline, run.record, run.call, run.fault)) +
             " more time(s)" +
             (run.verdict == SweepVerdict::kRepeated ? " after the service carried it out" : "");
    }
    xml += "    <testcase name=\"" + Xml(CellName(report, run.call)) + ", " + Xml(run.fault) +
           "\" classname=\"" + host + "\" time=\"" + Seconds(run.record.ms) + "\"";
    if (VerdictFails(run.verdict, report.allowRepeats)) {
      xml += ">\n      <failure type=\"" + verdict + "\" message=\"" + verdict +
             (how.empty() ? "" : ": " + Xml(how)) + "\">run " + id + ": " + verdict +
             (how.empty() ? "" : " (" + Xml(how) + ")") + "; its output: runs/" + id +
             ".out; to replay it: repro/" + id + ".json</failure>\n    </testcase>\n";
    } else if (run.verdict == SweepVerdict::kAbsorbed) {
      xml +=
          ">\n      <system-out>absorbed: check that going on as in the baseline was right "
          "(runs/" +
          id + ".out)</system-out>\n    </testcase>\n";
    } else {
      xml += "/>\n";
    }
  }
  return xml + "  </testsuite>\n</testsuites>\n";
}

}  // namespace velmora::devservice
