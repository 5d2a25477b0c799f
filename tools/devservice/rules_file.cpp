#include "rules_file.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "wide_text.h"

namespace velmora::devservice {

bool ReadTextFile(const std::string& path, std::string& text, std::string& error) {
  std::FILE* file = _wfopen(tools::WideFromUtf8(path).c_str(), L"rb");
  if (file == nullptr) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  text.clear();
  char buffer[4096];
  for (std::size_t count; (count = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
    text.append(buffer, count);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) error = "cannot read " + path;
  return !failed;
}

RulesWatch::RulesWatch(const std::string& path) {
  const std::wstring wide = tools::WideFromUtf8(path);
  std::vector<wchar_t> full(32768);
  wchar_t* name = nullptr;
  if (GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), &name) == 0 ||
      name == nullptr) {
    return;
  }
  *name = L'\0';  // the folder, with its final separator
  // Editors save by writing in place or by renaming a new file over the old one.
  change_ = FindFirstChangeNotificationW(
      full.data(), FALSE,
      FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE);
}

RulesWatch::~RulesWatch() {
  if (change_ != INVALID_HANDLE_VALUE) FindCloseChangeNotification(change_);
}

void RulesWatch::Rearm() {
  FindNextChangeNotification(change_);
}

}  // namespace velmora::devservice
