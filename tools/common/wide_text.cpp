#include "wide_text.h"

#include <windows.h>

// shellapi.h needs windows.h first.
#include <shellapi.h>

namespace velmora::tools {
namespace {

// `text` in the code page (CP_UTF8, or the ANSI one), or false when a character is lost: an
// unpaired surrogate, or one the code page lacks (no best-fit look-alike is taken).
bool Narrow(UINT codePage, const std::wstring& text, std::string* out) {
  const bool utf8 = codePage == CP_UTF8;  // takes neither the best-fit flag nor a default
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* used = utf8 ? nullptr : &usedDefault;
  const int length = static_cast<int>(text.size());
  const int size =
      WideCharToMultiByte(codePage, flags, text.data(), length, nullptr, 0, nullptr, used);
  if (out != nullptr && size > 0) {
    out->resize(static_cast<std::size_t>(size));
    WideCharToMultiByte(codePage, flags, text.data(), length, out->data(), size, nullptr, used);
  }
  return (length == 0 || size > 0) && !usedDefault;
}

// The first character of `text` the code page loses when it is converted alone, and its name.
std::pair<std::wstring, std::string> FirstLost(UINT codePage, const std::wstring& text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    const std::string name = CharacterName(text, i);
    const std::wstring character = text.substr(start, i - start);
    if (!Narrow(codePage, character, nullptr)) return {character, name};
  }
  return {L"", "a character"};
}

}  // namespace

bool Utf8FromWide(const std::wstring& wide, std::string& utf8, std::string& problem) {
  utf8.clear();
  if (Narrow(CP_UTF8, wide, &utf8)) return true;
  problem = "has " + FirstLost(CP_UTF8, wide).second + ", which no text can carry";
  return false;
}

std::wstring WideFromUtf8(const std::string& utf8) {
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
    args.emplace_back();
    ok = Utf8FromWide(wide[i], args.back(), problem);
    if (!ok) problem = "argument " + std::to_string(i) + " " + problem;
  }
  LocalFree(wide);
  return ok;
}

bool AnsiFromUtf8(const std::string& utf8, std::string& ansi, std::string& problem) {
  const std::wstring wide = WideFromUtf8(utf8);
  // Where the ANSI code page is UTF-8 it holds every character.
  const UINT codePage = GetACP() == CP_UTF8 ? CP_UTF8 : CP_ACP;
  ansi.clear();
  if (Narrow(codePage, wide, &ansi)) return true;
  const auto [character, name] = FirstLost(codePage, wide);
  std::string shown;
  Narrow(CP_UTF8, character, &shown);
  problem = utf8 + " has " + shown + " (" + name + "), which the ANSI code page (" +
            std::to_string(GetACP()) + ") cannot hold; nothing was sent";
  return false;
}

}  // namespace velmora::tools
