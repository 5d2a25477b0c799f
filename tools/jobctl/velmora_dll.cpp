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

// The exports take texts in the ANSI code page; characters it lacks are sent as "?".
std::string ToAnsi(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string ansi(static_cast<std::size_t>(size), '\0');
  BOOL lossy = FALSE;
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), ansi.data(), size,
                      nullptr, &lossy);
  if (lossy) {
    std::fprintf(stderr, "jobctl: %s has characters the ANSI code page lacks; sent as '?'\n",
                 tools::Utf8(text).c_str());
    std::fflush(stderr);
  }
  return ansi;
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
