#include "wide_text.h"

#include <windows.h>

// shellapi.h needs windows.h first.
#include <shellapi.h>

namespace velmora::tools {
namespace {

// The first character of `text` that `convert` loses when it converts it alone, and its name.
template <typename Convert>
std::pair<std::wstring, std::string> FirstLost(const std::wstring& text, Convert convert) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    const std::string name = CharacterName(text, i);
    const std::wstring character = text.substr(start, i - start);
    if (!convert(character, nullptr)) return {character, name};
  }
  return {L"", "a character"};
}

bool ToUtf8(const std::wstring& text, std::string* out) {
  const int length = static_cast<int>(text.size());
  const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, nullptr,
                                       0, nullptr, nullptr);
  if (out != nullptr && size > 0) {
    out->resize(static_cast<std::size_t>(size));
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, out->data(), size,
                        nullptr, nullptr);
  }
  return length == 0 || size > 0;
}

}  // namespace

bool Utf8FromWide(const std::wstring& wide, std::string& utf8, std::string& problem) {
  utf8.clear();
  if (ToUtf8(wide, &utf8)) return true;
  problem = "has " + FirstLost(wide, ToUtf8).second + ", which no text can carry";
  return false;
}

std::wstring WideFromUtf8(const std::string& utf8) {
  if (utf8.empty()) return L"";
  const int length = static_cast<int>(utf8.size());
  const int size =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) {
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, wide.data(), size);
  }
  return wide;
}

bool Utf8Arguments(std::vector<std::string>& args, std::string& problem) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  bool ok = true;
  for (int i = 1; ok && i < count; ++i) {
    std::string arg;
    ok = Utf8FromWide(wide[i], arg, problem);
    if (ok) {
      args.push_back(arg);
    } else {
      problem = "argument " + std::to_string(i) + " " + problem;
    }
  }
  LocalFree(wide);
  return ok;
}

bool AnsiFromUtf8(const std::string& utf8, std::string& ansi, std::string& problem) {
  const std::wstring wide = WideFromUtf8(utf8);
  // UTF-8 as the ANSI code page holds every character and takes no such flags.
  const bool utf8Acp = GetACP() == CP_UTF8;
  const DWORD flags = utf8Acp ? 0 : WC_NO_BEST_FIT_CHARS;
  const auto convert = [&](const std::wstring& text, std::string* out) {
    BOOL usedDefault = FALSE;
    BOOL* used = utf8Acp ? nullptr : &usedDefault;
    const int length = static_cast<int>(text.size());
    const int size =
        WideCharToMultiByte(CP_ACP, flags, text.data(), length, nullptr, 0, nullptr, used);
    if (out != nullptr && size > 0) {
      out->resize(static_cast<std::size_t>(size));
      WideCharToMultiByte(CP_ACP, flags, text.data(), length, out->data(), size, nullptr, used);
    }
    return (length == 0 || size > 0) && !usedDefault;
  };
  ansi.clear();
  if (convert(wide, &ansi)) return true;
  const auto [character, name] = FirstLost(wide, convert);
  std::string shown;
  ToUtf8(character, &shown);
  problem = utf8 + " has " + shown + " (" + name + "), which the ANSI code page (" +
            std::to_string(GetACP()) + ") cannot hold; nothing was sent";
  return false;
}

}  // namespace velmora::tools
