#include "rules/rules_file.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "journal/writer.h"
#include "wide_text.h"

namespace velmora::devservice {

bool ReadTextFile(const std::string& path, std::string& text, std::string& error) {
  std::FILE* file = _wfopen(tools::WideFromUtf8(path).c_str(), L"rb");
  if (file == nullptr) {
    error = "cannot read " + path + ": " + OpenFailure(path, errno);
    return false;
  }
  text.clear();
  char buffer[4096];
  for (std::size_t count; (count = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
    text.append(buffer, count);
  }
  const bool failed = std::ferror(file) != 0;
  (void)std::fclose(file);
  if (failed) error = "cannot read " + path;
  return !failed;
}

namespace {

bool Identify(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
  // No access asked for, and every sharing allowed: the file is only looked at.
  const HANDLE file = CreateFileW(tools::WideFromUtf8(path).c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  return known;
}

}  // namespace

std::uint64_t LastWritten(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(tools::WideFromUtf8(path).c_str(), GetFileExInfoStandard, &data)) {
    return 0;
  }
  return std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32 |
         data.ftLastWriteTime.dwLowDateTime;
}

bool SameFile(const std::string& first, const std::string& second) {
  BY_HANDLE_FILE_INFORMATION a, b;
  return Identify(first, a) && Identify(second, b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
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
