// What a sweep decides, without a pipe or a process: which runs to make, the rules each run
// gets, how a run compares with the baseline, and the report. `sweep.cpp` only carries it out.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velmora::devservice {

// Where the host made a call: the first frame on the calling thread's stack outside Velmora.dll
// and the system's modules, with its function, file and line where the host's debug
// information gives them.
struct CallSite {
  std::string module;  // "host.exe"; "?" for code in no module (a runtime's generated code)
  std::optional<std::string> function;
  std::optional<std::string> file;
  std::optional<std::uint32_t> line;
  std::uint64_t offset = 0;  // the return address's, from the module's base
};

// A call into one of the library's exports, as the sweep, the host's debugger, saw it enter.
struct CallHit {
  std::string exportName;
  unsigned long thread = 0;
  CallSite site;
};

// One request as the host made it: the export's name, the job, and the text (none for an
// export that sends none); and where the host made it, where known.
struct SweepCall {
  std::string exportName;
  std::int32_t job = 0;
  std::optional<std::string> text;
  std::optional<CallSite> site;
  // The same request, wherever it was made.
  bool operator==(const SweepCall& other) const {
    return exportName == other.exportName && job == other.job && text == other.text;
  }
};

// How a run of the host ended, and what the service read meanwhile.
struct RunRecord {
  std::optional<std::uint32_t> exitCode;  // none when it crashed or hung
  std::optional<std::string> exception;   // "0xC0000005 in host.exe"
  bool timedOut = false;
  std::uint64_t ms = 0;
  std::vector<SweepCall> requests;
  bool faultMet = true;  // the run's fault took a request or a connection, or held the pipe
  std::size_t hits = 0;  // the requests and connections the fault took (0 for busy and absent)
  std::uint64_t outputCut = 0;  // the bytes of output past kRunOutputCap, not kept
  // The calls (1-based) the fault met; none where the sweep cannot tell (a pipe fault in a host
  // it does not trace, whose window was timed).
  std::optional<std::vector<std::size_t>> reached;
};

// Each run's output file keeps at most this much of what the host wrote: a host that floods its
// output cannot fill the disk the report is to be written on.
constexpr std::uint64_t kRunOutputCap = 1 << 20;
// The line that ends a run's output file where the rest was cut.
std::string OutputCutNote(std::uint64_t dropped);

enum class SweepVerdict {
  kCrashed,
  kLooped,
  kHung,
  kNotMet,
  kReported,
  kRepeated,
  kRetried,
  kAbsorbed
};
const char* VerdictName(SweepVerdict verdict);  // "not met" for kNotMet

// The faults tried at each call by default, in the --fault presets' names.
const std::vector<std::string>& DefaultFaults();
// busy, absent and hang-up-before-read act on the pipe, not on a request the service reads.
bool ActsOnThePipe(const std::string& fault);
// busy and absent hold the one pipe every host calls: a run that meets them has it to itself.
// Every other fault takes a request or a connection of its own host, and runs beside others.
bool RunsAlone(const std::string& fault);

// --parallel's default: the machine's cores, and at least 2.
std::size_t DefaultParallel(unsigned cores);

// The order the planned runs start in, as runs end in any order: at most `parallel` at once,
// those that share the pipe first, in plan order, then each that runs alone, in plan order,
// once no other is in flight and with none started beside it.
class RunSchedule {
 public:
  RunSchedule(const std::vector<bool>& alone, std::size_t parallel);
  // The run (an index into `alone`) to start now, or none: wait for one to end, or all have
  // started, or the schedule was stopped.
  std::optional<std::size_t> Next();
  void Ended(std::size_t run);
  // No run starts from now on; those in flight end as they will.
  void Stop() { stopped_ = true; }
  std::size_t InFlight() const { return inFlight_; }

 private:
  std::vector<std::size_t> order_;
  std::vector<bool> alone_;
  std::size_t parallel_;
  std::size_t next_ = 0;
  std::size_t inFlight_ = 0;
  bool aloneInFlight_ = false;
  bool stopped_ = false;
};

// Gives each request the site of the call that sent it: the earliest call not yet given a
// request whose export sends that command. Calls that sent nothing (the scheduler's no-ops)
// take no request; with several threads in the library at once, their calls are taken in the
// order they entered it.
// Returns each request's call, by its index in `hits` (none where no call was seen).
std::vector<std::optional<std::size_t>> AttributeSites(std::vector<SweepCall>& requests,
                                                       const std::vector<CallHit>& hits);
// Whether a call of this export sends a request (the scheduler's no-ops send none).
bool SendsRequest(const std::string& exportName);
// The calls (1-based) a sweep faults by default: the first at each site, a site being one code
// path: one export called from one line of the host's source, or, without line information,
// from one return address in its module. A call without a site is a site of its own.
std::vector<std::size_t> FirstCallPerSite(const std::vector<SweepCall>& calls);
// "host.c:42", or "host.exe+0x1a2b" without line information.
std::string SiteLabel(const CallSite& site);

// The highest call number --calls may name, checked before the baseline has run.
constexpr std::size_t kMaxCallNumber = 100000;
// "1-3,5" against `calls` calls: the 1-based calls named, in order, each once. False with the
// reason for a call past the last, a backwards range, or anything else.
bool ParseCallList(const std::string& text, std::size_t calls, std::vector<std::size_t>& chosen,
                   std::string& error);
// A sweep of every call makes at most this many runs unless told otherwise.
constexpr std::size_t kDefaultMaxRuns = 2000;
// Why `runs` runs are too many to start (empty: they are not): above --max-runs, or above
// kDefaultMaxRuns where neither --max-runs nor --calls was given.
std::string TooManyRuns(std::size_t runs, bool callsChosen, std::optional<std::size_t> maxRuns);

// What --out names, as found: nothing there, a file, or a folder holding these files (paths
// under it, with "/").
struct OutFolder {
  enum class Kind { kAbsent, kFile, kFolder } kind = Kind::kAbsent;
  std::vector<std::string> files;
};
// Why the sweep may not write its report in `folder` (empty: it may). A folder that holds
// anything is refused, unless it holds only an earlier sweep's files (report.json among them)
// and `force` lets them be replaced. `stale` gets the files to delete first.
std::string OutFolderRefusal(const std::string& folder, const OutFolder& found, bool force,
                             std::vector<std::string>& stale);

// "hang,reply:87": each a preset the service takes.
bool ParseFaultList(const std::string& text, std::vector<std::string>& faults, std::string& error);

// Whether a request that met `fault` reached the service and was carried out: never for a
// fault on the pipe, which keeps it from being read; for one the service reads, where its step
// leaves the status to the job table, as the service itself decides.
bool FaultCarriesOut(const std::string& fault);

// The rules file of the run that gives `fault` to the `call`-th call (1-based) and carries out
// every other request as without rules. For a fault that acts on the pipe, a window that opens
// once the call before has been read and lasts until the call has given up. `persist`: the fault
// takes the call and every request and connection after it, for the rest of the run.
std::string RulesForRun(std::size_t call, const std::string& fault, std::uint64_t seed,
                        bool persist = false);
// The same for a run whose pipe fault the sweep opened as the call entered the library and
// closed as it returned: the nearest timed window, with a "comment" that says so.
std::string ReproRules(std::size_t call, const std::string& fault, std::uint64_t seed, bool persist,
                       bool exactWindow);
// What the sweep puts in force as the call enters the library, for busy or absent: the fault,
// due at once, until the rules are replaced.
std::string PipeWindowRules(std::size_t call, const std::string& fault, std::uint64_t seed);
// The step of that run's rule that gives the fault (from 1, as the journal numbers steps); 0
// for a fault that acts on the pipe as a whole (busy, absent), which has no step.
std::size_t FaultStep(std::size_t call, const std::string& fault);

// How many times the run sent the faulted request again after the fault, beyond the times the
// baseline sent it after that call. For a hang-up before the read, the connections it took
// after the first; busy and absent take no request, and show none.
std::size_t Repeats(const RunRecord& baseline, const RunRecord& run, std::size_t call,
                    const std::string& fault);
// A run still going at the time limit that had repeated its faulted request this often is in a
// retry without end.
constexpr std::size_t kLoopRepeats = 10;

// The run against the baseline, the first that holds: crashed, looped (still running at the
// time limit, having repeated the faulted request kLoopRepeats times), hung, not met (no call
// met the fault: the host made fewer or other calls than in the baseline, so whatever else it
// did says nothing of the fault), reported (another exit code), repeated (it sent the faulted
// request again after the service had carried it out: the action may have happened twice),
// retried (again, after one that was not carried out), absorbed.
SweepVerdict Judge(const RunRecord& baseline, const RunRecord& run, std::size_t call,
                   const std::string& fault);
// Whether a verdict fails the sweep (its exit status and the JUnit file): crashed, hung and
// looped, and repeated unless `allowRepeats`.
bool VerdictFails(SweepVerdict verdict, bool allowRepeats);

// Whether the run made other calls than the baseline up to its fault: another request before
// the call, fewer calls than that, or (for a fault the service reads) another request as the
// call itself. A deterministic host never diverges; one that does makes the run's cell say
// little of the fault.
bool Diverged(const RunRecord& baseline, const RunRecord& run, std::size_t call,
              const std::string& fault);

struct SweepRun {
  std::size_t call = 0;
  std::string fault;
  RunRecord record;
  SweepVerdict verdict = SweepVerdict::kAbsorbed;
  std::optional<std::string> expected;  // the verdict --expect had for this cell, where another
};

struct SweepReport {
  std::vector<std::string> host;  // the command line
  std::uint32_t timeoutS = 30;
  std::uint64_t seed = 0;
  bool persist = false;       // each run's fault held from its call on
  bool allowRepeats = false;  // a repeated run does not fail the sweep
  std::string libraryVersion;
  RunRecord baseline;
  std::vector<SweepRun> runs;
  // With --expect: each cell whose verdict is not the expected one ("call 2 CancelJob(5), busy:
  // hung, expected absorbed"), an expected cell that no run made among them.
  std::optional<std::vector<std::string>> changes;
};

// Each baseline call's cell across sweeps: its module, site and export, and which call at that
// site it is where there are several ("host.exe host.c:42 StartJob", "... StartJob #2"); a call
// without a site by its number ("call 3"). A host rebuilt with a call added keeps its cells.
std::vector<std::string> CellKeys(const std::vector<SweepCall>& calls);
// An earlier report.json's verdicts, by (CellKeys, fault): the matrix --expect holds a sweep to.
struct ExpectedCell {
  std::string verdict;
  std::string name;  // the cell as the earlier sweep named it (CellName)
};
using ExpectedVerdicts = std::map<std::pair<std::string, std::string>, ExpectedCell>;
// False, with the reason, when `reportJson` is not a sweep's report.json.
bool ReadExpectedVerdicts(const std::string& reportJson, ExpectedVerdicts& expected,
                          std::string& error);
// Sets each run's `expected` where its verdict differs, and the report's `changes`.
void CompareWithExpected(SweepReport& report, const ExpectedVerdicts& expected);

// The words as one Windows command line that the host's C run-time splits back into them:
// quoted where they hold a space, a tab or a quote, or are empty.
std::string CommandLine(const std::vector<std::string>& words);

std::string RunId(std::size_t index);          // "001"
std::string CallLabel(const SweepCall& call);  // "StartJob(5)", "DeleteJobFileByName("C:\x")"
// A row's label: the call's site, the baseline's call there and the calls made at that site,
// "host.c:42 StartJob(5), calls 1-5"; without a site, its number and the call, "3 StartJob(5)".
std::string RowLabel(const SweepReport& report, std::size_t call);
// The same as a name on its own: "call 3 StartJob(5)" without a site.
std::string CellName(const SweepReport& report, std::size_t call);
// How a run ended: the exception, "the time limit", or its exit code ("exit 0xC0000409").
std::string HowItEnded(const RunRecord& record);
// report.json: the interface scripts and CI read.
std::string ReportJson(const SweepReport& report);
// The matrix as text: a row per call swept, a column per fault, each cell the verdict.
std::string ReportTable(const SweepReport& report);
// What the page's template is given: the header's figures and the matrix, as JSON.
std::string PageData(const SweepReport& report);
// 0: no verdict fails (VerdictFails); 1: one does. With --expect: 0 the matrix is the expected
// one, 1 a cell changed.
int SweepExitCode(const SweepReport& report);

}  // namespace velmora::devservice
