// Where the service's lines go without ever holding up a caller: each stream (the console, the
// errors, the journal file) has a thread of its own that writes its lines in order, and adding
// a line never waits for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

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

}  // namespace velmora::devservice
