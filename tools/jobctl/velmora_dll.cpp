#include "velmora_dll.h"

#include <cstdio>

#include "export_call.h"
#include "utf8.h"

namespace velmora::jobctl {

std::wstring DefaultDllPath() {
  std::wstring directory = ModulePath(nullptr);
  directory.resize(directory.find_last_of(L"\\/") + 1);
  return directory + L"Velmora.dll";
}

std::wstring ModulePath(HMODULE module) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  return std::wstring(path, length);
}

std::string FileVersion(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return "unknown";
  std::vector<char> block(size);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT infoSize = 0;
  if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
      !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) ||
      info == nullptr) {
    return "unknown";
  }
  return std::to_string(HIWORD(info->dwFileVersionMS)) + "." +
         std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(info->dwFileVersionLS)) + "." +
         std::to_string(LOWORD(info->dwFileVersionLS));
}

std::string SystemText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::wstring message = length > 0 && text != nullptr ? std::wstring(text, length) : L"";
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) {
    message.pop_back();
  }
  return tools::Utf8(message);
}

namespace {

// Converts to the ANSI code page without best-fit look-alikes; `lossy` tells whether a
// character had to be replaced by the default one. UTF-8 as the ANSI code page holds every
// character and takes no such flags.
std::string Convert(const wchar_t* text, int length, bool& lossy) {
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* used = utf8 ? nullptr : &usedDefault;
  const int size = WideCharToMultiByte(CP_ACP, flags, text, length, nullptr, 0, nullptr, used);
  std::string ansi(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_ACP, flags, text, length, ansi.data(), size, nullptr, used);
  }
  lossy = usedDefault != FALSE || (length > 0 && size <= 0);
  return ansi;
}

}  // namespace

bool ToAnsi(const std::wstring& text, std::string& ansi, std::string& problem) {
  if (text.empty()) {
    ansi.clear();
    return true;
  }
  bool lossy = false;
  ansi = Convert(text.c_str(), static_cast<int>(text.size()), lossy);
  if (!lossy) return true;
  // Find the first character, a surrogate pair counting as one, that the code page lacks.
  for (std::size_t i = 0; i < text.size();) {
    const bool pair = text[i] >= 0xD800 && text[i] < 0xDC00 && i + 1 < text.size();
    const std::wstring character = text.substr(i, pair ? 2 : 1);
    bool missing = false;
    Convert(character.c_str(), static_cast<int>(character.size()), missing);
    if (missing) {
      char code[16];
      unsigned long value = character[0];
      if (pair) value = 0x10000 + ((value - 0xD800) << 10) + (character[1] - 0xDC00);
      std::snprintf(code, sizeof code, "U+%04lX", value);
      problem = tools::Utf8(text) + " has " + tools::Utf8(character) + " (" + code +
                "), which the ANSI code page (" + std::to_string(GetACP()) +
                ") cannot hold; nothing was sent";
      return false;
    }
    i += character.size();
  }
  problem = tools::Utf8(text) + " cannot be held by the ANSI code page; nothing was sent";
  return false;
}

std::string MachineOfFile(const std::wstring& path) {
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  char start[4096];
  DWORD count = 0;
  const BOOL read = ReadFile(file, start, sizeof start, &count, nullptr);
  CloseHandle(file);
  return read ? MachineOfPe(std::string(start, count)) : "";
}

std::string OwnMachine() {
  return sizeof(void*) == 8 ? "64-bit x64" : "32-bit x86";
}

LibraryFacts ReadFacts(HMODULE module) {
  LibraryFacts facts;
  const std::wstring path = ModulePath(module);
  facts.dll = tools::Utf8(path);
  facts.version = FileVersion(path);
  for (const std::string& name : InfoExportNames()) {
    (GetProcAddress(module, name.c_str()) != nullptr ? facts.exported : facts.missing)
        .push_back(name);
  }
  facts.variable = GetProcAddress(module, "?nVelmora@@3HA") != nullptr;
  return facts;
}

void MakeCall(Call& call) {
  std::vector<const char*> texts;
  for (const std::string& text : call.texts) texts.push_back(text.c_str());
  const std::optional<std::int32_t> status =
      tools::CallExport(reinterpret_cast<const void*>(call.function),
                        call.subcommand->returnsStatus, call.numbers, texts);
  call.status = status ? *status : static_cast<std::int32_t>(GetLastError());
}

namespace {

DWORD WINAPI CallOnWorker(void* call) {
  MakeCall(*static_cast<Call*>(call));
  return 0;
}

}  // namespace

// A call still connecting has no I/O to cancel yet, so the cancel is tried again until the
// call returns.
bool MakeBoundedCall(Call& call, double seconds) {
  const HANDLE worker = CreateThread(nullptr, 0, CallOnWorker, &call, 0, nullptr);
  if (worker == nullptr) {
    MakeCall(call);
    return false;
  }
  bool timedOut = false;
  if (WaitForSingleObject(worker, static_cast<DWORD>(seconds * 1000)) == WAIT_TIMEOUT) {
    timedOut = true;
    do {
      CancelSynchronousIo(worker);
    } while (WaitForSingleObject(worker, 50) == WAIT_TIMEOUT);
  }
  CloseHandle(worker);
  return timedOut;
}

}  // namespace velmora::jobctl
