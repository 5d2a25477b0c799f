// Where the service's lines go without ever holding up a caller: each stream (the console, the
// errors, the journal file) has a thread of its own that writes its lines in order, and adding
// a line never waits for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>

namespace velmora::devservice {

// Writes one whole line somewhere; a sink that fails says so itself.
using LineSink = std::function<void(const std::string& line)>;

class LineWriter {
 public:
  // With a `capacity`, lines beyond it wait for none: they are dropped and counted, and the
  // count is written (as "<name>: N lines dropped ...") once the sink takes lines again.
  // Without one (0), every line is kept until written.
  LineWriter(LineSink sink, std::size_t capacity, std::string name);
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;
  // Closes with no wait: lines not yet written may be lost.
  ~LineWriter();

  void Add(std::string line);
  // Writes what is queued, waiting at most `waitMs`. False when the sink did not take it all in
  // time (a console nobody reads): its thread is then left behind, still blocked, and must not
  // hold the process.
  bool Close(std::uint32_t waitMs);
  std::uint64_t Dropped() const;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

// Why a file could not be opened, from its errno: "it is a folder" where the system says only
// that access is denied.
std::string OpenFailure(const std::string& path, int error);

// The journal file: appended in binary, so lines end with LF alone, and written a whole line at
// a time: a line the disk does not take whole is taken back out.
class JournalFile {
 public:
  JournalFile() = default;
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;
  ~JournalFile();
  // `path` in UTF-8.
  bool Open(const std::string& path, std::string& error);
  bool Append(const std::string& line, std::string& error);
  const std::string& path() const { return path_; }

 private:
  int descriptor_ = -1;
  std::string path_;
};

// Writes the journal's lines to its file, a request's lines kept or lost together: once a
// request's (or a connection's) line is lost, the outcome line that follows it up is left out
// too. Lost lines are counted, and said through `say`: when the file stops taking lines (with
// the reason), when it takes them again (with how many were lost meanwhile), and at the end.
class JournalKeeper {
 public:
  JournalKeeper(JournalFile& file, std::function<void(std::string)> say);
  // The journal writer's sink.
  void Write(const std::string& line);
  // Says how many lines were lost in all, if any; returns the count.
  std::uint64_t SayTotal();

 private:
  JournalFile& file_;
  std::function<void(std::string)> say_;
  bool failing_ = false;
  std::uint64_t lost_ = 0;
  std::uint64_t lostUnsaid_ = 0;
  std::unordered_set<std::uint64_t> lostRequests_;  // whose outcome line is still to come
};

}  // namespace velmora::devservice
