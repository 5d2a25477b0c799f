// The journal's last lines in memory, for control clients, whether or not a journal file is kept.
// Its lines are numbered as the requests are: a request's lines (and its outcome's, whenever that
// comes) carry the request's number, and a line between requests (rules, a reset, the pipe's
// state) the number of the request after it. So "the journal from request N" and "verify from
// request N" count the same requests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velmora::devservice {

constexpr std::size_t kJournalKept = 100000;

class MemoryJournal {
 public:
  explicit MemoryJournal(std::size_t kept = kJournalKept) : kept_(kept) {}
  void Add(std::string line);  // one journal line, with or without its final LF
  // The lines kept whose number is `since` or later, in the order written, of one session only
  // when `session` is given (0: the lines outside any); `next` gets the number the next request
  // will have.
  std::vector<std::string> Since(std::uint64_t since, std::uint64_t& next,
                                 std::optional<std::uint64_t> session = std::nullopt) const;
  std::string Text() const;  // every line kept, each ending with LF
  // How many lines, from the first, are no longer kept; and how many it keeps.
  std::uint64_t Dropped() const;
  std::size_t Kept() const { return kept_; }
  // Empties it; the requests are numbered from 1 again.
  void Clear();

 private:
  struct Line {
    std::uint64_t number;
    std::uint64_t session;
    std::string text;
  };
  mutable std::mutex mutex_;
  std::deque<Line> lines_;
  std::uint64_t nextRequest_ = 1;
  std::uint64_t dropped_ = 0;
  const std::size_t kept_;
};

}  // namespace velmora::devservice
