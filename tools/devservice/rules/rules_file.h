// The rules file on disk: read whole, and watched for changes through the system's change
// notification on its folder (no polling). Windows only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace velmora::devservice {

// The whole file, its path in UTF-8; false with the reason.
bool ReadTextFile(const std::string& path, std::string& text, std::string& error);

// When the file was last written (the system's FILETIME count), 0 when it cannot be read: a
// rewrite with the same bytes, or a touch, changes it; a change to another file beside it does
// not.
std::uint64_t LastWritten(const std::string& path);

// Whether two paths (UTF-8) name one existing file, by its identity (volume and file index), so
// that links, other spellings and short names are seen through.
bool SameFile(const std::string& first, const std::string& second);

class RulesWatch {
 public:
  // Watches the folder that holds `path`; Event() is then signalled on every change there.
  explicit RulesWatch(const std::string& path);
  RulesWatch(const RulesWatch&) = delete;
  RulesWatch& operator=(const RulesWatch&) = delete;
  ~RulesWatch();
  // INVALID_HANDLE_VALUE when the folder cannot be watched.
  HANDLE Event() const { return change_; }
  // Waits for the next change after one was signalled.
  void Rearm();

 private:
  HANDLE change_ = INVALID_HANDLE_VALUE;
};

}  // namespace velmora::devservice
