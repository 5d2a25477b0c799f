// The rules file on disk: read whole, and watched for changes through the system's change
// notification on its folder (no polling). Windows only.
#pragma once

#include <windows.h>

#include <string>

namespace velmora::devservice {

// The whole file, its path in UTF-8; false with the reason.
bool ReadTextFile(const std::string& path, std::string& text, std::string& error);

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
