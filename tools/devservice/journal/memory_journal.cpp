#include "journal/memory_journal.h"

#include "journal/entry.h"

namespace velmora::devservice {

void MemoryJournal::Add(std::string line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  JournalEntry entry;
  std::string unused;
  const bool read = ReadJournalEntry(line, entry, unused);
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint64_t number = nextRequest_;
  if (read && entry.seq > 0) {
    number = entry.seq;
    if (entry.IsCaller() && entry.seq >= nextRequest_) nextRequest_ = entry.seq + 1;
  }
  if (read && entry.restartsNumbering) nextRequest_ = number = 1;
  lines_.push_back({number, read ? entry.session : 0, std::move(line)});
  if (lines_.size() > kept_) {
    lines_.pop_front();
    ++dropped_;
  }
}

std::vector<std::string> MemoryJournal::Since(std::uint64_t since, std::uint64_t& next,
                                              std::optional<std::uint64_t> session) const {
  std::lock_guard<std::mutex> lock(mutex_);
  next = nextRequest_;
  std::vector<std::string> found;
  for (const Line& line : lines_) {
    if (line.number >= since && (!session || line.session == *session)) {
      found.push_back(line.text);
    }
  }
  return found;
}

std::string MemoryJournal::Text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text;
  for (const Line& line : lines_) text += line.text + "\n";
  return text;
}

std::uint64_t MemoryJournal::Dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

void MemoryJournal::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
  nextRequest_ = 1;
}

}  // namespace velmora::devservice
