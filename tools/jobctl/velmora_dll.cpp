#include "velmora_dll.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "export_call.h"
#include "wide_text.h"

namespace velmora::jobctl {
namespace {

std::string Utf8(const std::wstring& text) {
  std::string utf8, problem;
  tools::Utf8FromWide(text, utf8, problem);
  return utf8;
}

// The whole path, however long: GetModuleFileNameW fills the buffer and cuts when it is short.
std::wstring ModulePath(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size() || path.size() >= 32768) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// "3.0.0.85", or "unknown" when the file has no version block.
std::string FileVersion(const std::wstring& path) {
  DWORD ignored = 0;
  std::vector<char> block(GetFileVersionInfoSizeW(path.c_str(), &ignored));
  VS_FIXEDFILEINFO* info = nullptr;
  UINT size = 0;
  if (block.empty() ||
      !GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()) ||
      !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &size) ||
      info == nullptr) {
    return "unknown";
  }
  char text[48];
  (void)std::snprintf(text, sizeof text, "%u.%u.%u.%u", HIWORD(info->dwFileVersionMS),
                LOWORD(info->dwFileVersionMS), HIWORD(info->dwFileVersionLS),
                LOWORD(info->dwFileVersionLS));
  return text;
}

std::atomic<bool> gRequestWritten{false};

// Only a write that succeeded can have reached the service; a failed one (a pipe closing, a
// cancelled call) delivered nothing.
BOOL WINAPI WatchedWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                             LPOVERLAPPED overlapped) {
  const BOOL ok = WriteFile(file, data, size, written, overlapped);
  if (ok) gRequestWritten = true;
  return ok;
}

DWORD WINAPI CallOnWorker(void* call) {
  MakeCall(*static_cast<Call*>(call));
  return 0;
}

}  // namespace

std::wstring DefaultDllPath() {
  std::wstring directory = ModulePath(nullptr);
  directory.resize(directory.find_last_of(L"\\/") + 1);
  return directory + L"Velmora.dll";
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
  return Utf8(message);
}

namespace {

// The file's first 4 KiB, where a PE image's headers begin; empty if it cannot be read.
std::string FileHead(const std::wstring& path) {
  std::string head(4096, '\0');
  DWORD got = 0;
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  if (!ReadFile(file, head.data(), static_cast<DWORD>(head.size()), &got, nullptr)) got = 0;
  CloseHandle(file);
  head.resize(got);
  return head;
}

}  // namespace

std::string WhyNotLoaded(const std::wstring& path, DWORD error) {
  return LoadFailure(Utf8(path), error, SystemText(error),
                     sizeof(void*) == 8 ? "64-bit x64" : "32-bit x86", FileHead(path));
}

LibraryFacts ReadFacts(HMODULE module) {
  LibraryFacts facts;
  const std::wstring path = ModulePath(module);
  facts.dll = Utf8(path);
  facts.version = FileVersion(path);
  for (const tools::ExportInfo& info : tools::kExports) {
    (GetProcAddress(module, info.name) != nullptr ? facts.exported : facts.missing)
        .push_back(info.name);
  }
  facts.variable = GetProcAddress(module, "?nVelmora@@3HA") != nullptr;
  return facts;
}

// The library writes one thing, its request, and only once the pipe is open: until then
// (still connecting, or waiting for a busy instance) the service cannot have seen the call.
bool WatchRequestWrites(HMODULE module) {
  BYTE* const base = reinterpret_cast<BYTE*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const DWORD imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  if (imports == 0) return false;
  for (auto* dll = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports); dll->Name != 0;
       ++dll) {
    if (lstrcmpiA(reinterpret_cast<const char*>(base + dll->Name), "kernel32.dll") != 0) continue;
    auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
    auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
    for (; dll->OriginalFirstThunk != 0 && name->u1.AddressOfData != 0; ++name, ++slot) {
      const auto* import =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
      if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal) || std::strcmp(import->Name, "WriteFile") != 0) {
        continue;
      }
      DWORD protection = 0;
      if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection)) return false;
      slot->u1.Function = reinterpret_cast<ULONG_PTR>(&WatchedWriteFile);
      VirtualProtect(slot, sizeof *slot, protection, &protection);
      return true;
    }
  }
  return false;
}

bool RequestWritten() {
  return gRequestWritten;
}

void MakeCall(Call& call) {
  std::vector<const char*> texts;
  for (const std::string& text : call.texts) texts.push_back(text.c_str());
  const std::optional<std::int32_t> status = tools::CallExport(
      reinterpret_cast<const void*>(call.function), call.info->returnsStatus, call.numbers, texts);
  call.status = status ? *status : static_cast<std::int32_t>(GetLastError());
}

// A call sleeping between connect attempts (no service yet) has no I/O to cancel, so the
// cancel is tried again until the call returns; a wait for a busy instance is cancelled.
bool MakeBoundedCall(Call& call, double seconds) {
  const HANDLE worker = CreateThread(nullptr, 0, CallOnWorker, &call, 0, nullptr);
  if (worker == nullptr) {
    MakeCall(call);
    return false;
  }
  const bool timedOut =
      WaitForSingleObject(worker, static_cast<DWORD>(seconds * 1000)) == WAIT_TIMEOUT;
  while (timedOut && WaitForSingleObject(worker, 0) == WAIT_TIMEOUT) {
    CancelSynchronousIo(worker);
    WaitForSingleObject(worker, 50);
  }
  CloseHandle(worker);
  return timedOut;
}

}  // namespace velmora::jobctl
