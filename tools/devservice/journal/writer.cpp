#include "journal/writer.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "journal/entry.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include "wide_text.h"
#else
#include <unistd.h>
#endif

namespace velmora::devservice {

struct LineWriter::Shared {
  LineSink sink;
  std::size_t capacity;
  std::string name;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> lines;
  bool writing = false;
  bool closing = false;
  std::uint64_t dropped = 0;
  std::uint64_t droppedUnsaid = 0;
  std::thread thread;

  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [this] { return closing || !lines.empty(); });
      if (lines.empty()) return;
      std::string line = std::move(lines.front());
      lines.pop_front();
      if (droppedUnsaid > 0) {
        line = name + ": " + std::to_string(droppedUnsaid) +
               " lines dropped: nothing took them in time\n" + line;
        droppedUnsaid = 0;
      }
      writing = true;
      lock.unlock();
      sink(line);
      lock.lock();
      writing = false;
      changed.notify_all();
    }
  }
};

LineWriter::LineWriter(LineSink sink, std::size_t capacity, std::string name)
    : shared_(std::make_shared<Shared>()) {
  shared_->sink = std::move(sink);
  shared_->capacity = capacity;
  shared_->name = std::move(name);
  // The thread holds the shared state, so it may outlive this writer.
  shared_->thread = std::thread([shared = shared_] { shared->Run(); });
}

LineWriter::~LineWriter() {
  Close(0);
}

void LineWriter::Add(std::string line) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->closing) return;
  if (shared_->capacity > 0 && shared_->lines.size() >= shared_->capacity) {
    ++shared_->dropped;
    ++shared_->droppedUnsaid;
    return;
  }
  shared_->lines.push_back(std::move(line));
  shared_->changed.notify_all();
}

bool LineWriter::Close(std::uint32_t waitMs) {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  if (!shared_->thread.joinable()) return shared_->lines.empty();
  const bool drained = shared_->changed.wait_for(lock, std::chrono::milliseconds(waitMs), [this] {
    return shared_->lines.empty() && !shared_->writing;
  });
  shared_->closing = true;
  if (!drained) shared_->lines.clear();
  shared_->changed.notify_all();
  std::thread thread = std::move(shared_->thread);
  lock.unlock();
  if (drained) {
    thread.join();
  } else {
    thread.detach();  // blocked in the sink; it ends with the process
  }
  return drained;
}

std::uint64_t LineWriter::Dropped() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->dropped;
}

namespace {

std::string Reason(int error) {
  if (error == ENOSPC) return "the disk is full";
  if (error == EFBIG) return "the file has reached its size limit";
  return std::strerror(error);
}

// Writes what the file takes of `count` bytes: the number taken, or -1 with `reason`.
long WriteSome(int descriptor, const char* bytes, std::size_t count, std::string& reason) {
#ifdef _WIN32
  // Through the system itself: the C runtime reports a full disk as "Invalid argument".
  DWORD written = 0;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the C runtime gives the handle as an integer.
  if (WriteFile(reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)), bytes,
                static_cast<DWORD>(count), &written, nullptr)) {
    return static_cast<long>(written);
  }
  const DWORD error = GetLastError();
  reason = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL
               ? "the disk is full"
               : "Windows error " + std::to_string(error);
  return -1;
#else
  const ssize_t written = write(descriptor, bytes, count);
  if (written < 0) reason = Reason(errno);
  return static_cast<long>(written);
#endif
}

}  // namespace

std::string OpenFailure(const std::string& path, int error) {
#ifdef _WIN32
  struct _stat64 status;
  const bool folder =
      _wstat64(tools::WideFromUtf8(path).c_str(), &status) == 0 && (status.st_mode & _S_IFDIR) != 0;
#else
  struct stat status;
  const bool folder = stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
#endif
  return folder ? "it is a folder" : std::strerror(error);
}

#ifdef _WIN32
#define VELMORA_FILE(call) _##call
using FileOffset = long;
#else
#define VELMORA_FILE(call) call
using FileOffset = off_t;
#endif

JournalFile::~JournalFile() {
  if (descriptor_ >= 0) VELMORA_FILE(close)(descriptor_);
}

bool JournalFile::Open(const std::string& path, std::string& error) {
#ifdef _WIN32
  descriptor_ = _wopen(tools::WideFromUtf8(path).c_str(),
                       _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
  descriptor_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
#endif
  if (descriptor_ < 0) {
    error = "cannot open " + path + " for appending: " + OpenFailure(path, errno);
    return false;
  }
  path_ = path;
  return true;
}

bool JournalFile::Append(const std::string& line, std::string& error) {
  const FileOffset before = VELMORA_FILE(lseek)(descriptor_, 0, SEEK_END);
  std::size_t done = 0;
  while (done < line.size()) {
    const long count = WriteSome(descriptor_, line.data() + done, line.size() - done, error);
    if (count <= 0) {
      // A write that takes nothing is a full disk. The part of the line the disk took is taken
      // back out, so the file keeps whole lines.
      if (count == 0) error = Reason(ENOSPC);
#ifdef _WIN32
      _chsize(descriptor_, before);
#else
      if (ftruncate(descriptor_, before) != 0) error += "; a part of a line is left";
#endif
      return false;
    }
    done += static_cast<std::size_t>(count);
  }
  return true;
}

JournalKeeper::JournalKeeper(JournalFile& file, std::function<void(std::string)> say)
    : file_(file), say_(std::move(say)) {}

void JournalKeeper::Write(const std::string& line) {
  // The lines are the service's own; an unreadable one stands alone.
  JournalEntry entry;
  std::string unused;
  if (!ReadJournalEntry(line, entry, unused)) entry = JournalEntry();
  if (entry.event == "outcome" && lostRequests_.erase(entry.seq) > 0) {
    ++lost_;
    ++lostUnsaid_;
    return;
  }
  std::string reason;
  const bool written = file_.Append(line, reason);
  if (!written) {
    ++lost_;
    ++lostUnsaid_;
    if (entry.IsCaller()) lostRequests_.insert(entry.seq);
    if (!failing_) {
      say_("velmora-devservice: cannot write to " + file_.path() + ": " + reason +
           "; a request's journal lines are left out together until it takes them again\n");
    }
  } else if (failing_) {
    say_("velmora-devservice: " + file_.path() + " takes lines again; " +
         std::to_string(lostUnsaid_) + " journal line(s) were lost meanwhile\n");
    lostUnsaid_ = 0;
  }
  failing_ = !written;
}

std::uint64_t JournalKeeper::SayTotal() {
  if (lost_ > 0) {
    say_("velmora-devservice: " + std::to_string(lost_) + " journal line(s) in all were not " +
         "written to " + file_.path() + "\n");
  }
  return lost_;
}

}  // namespace velmora::devservice
