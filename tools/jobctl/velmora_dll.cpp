#include "velmora_dll.h"

#include <atomic>
#include <cstring>

#include "export_call.h"
#include "wide_text.h"

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
  std::string utf8, problem;
  tools::Utf8FromWide(message, utf8, problem);
  return utf8;
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
  std::string problem;
  tools::Utf8FromWide(path, facts.dll, problem);
  facts.version = FileVersion(path);
  for (const tools::ExportInfo& info : tools::Exports()) {
    (GetProcAddress(module, info.name) != nullptr ? facts.exported : facts.missing)
        .push_back(info.name);
  }
  facts.variable = GetProcAddress(module, "?nVelmora@@3HA") != nullptr;
  return facts;
}

void MakeCall(Call& call) {
  std::vector<const char*> texts;
  for (const std::string& text : call.texts) texts.push_back(text.c_str());
  const std::optional<std::int32_t> status = tools::CallExport(
      reinterpret_cast<const void*>(call.function), call.info->returnsStatus, call.numbers, texts);
  call.status = status ? *status : static_cast<std::int32_t>(GetLastError());
}

namespace {

std::atomic<bool> gRequestWritten{false};

BOOL WINAPI WatchedWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                             LPOVERLAPPED overlapped) {
  gRequestWritten = true;
  return WriteFile(file, data, size, written, overlapped);
}

}  // namespace

// The library writes one thing, its request, and only once the pipe is open: until then
// (still connecting, or waiting for a busy instance) the service cannot have seen the call.
bool WatchRequestWrites(HMODULE module) {
  BYTE* const base = reinterpret_cast<BYTE*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.Size == 0) return false;
  for (auto* dll = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       dll->Name != 0; ++dll) {
    if (lstrcmpiA(reinterpret_cast<const char*>(base + dll->Name), "kernel32.dll") != 0 ||
        dll->OriginalFirstThunk == 0) {
      continue;
    }
    auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
    auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
    for (; name->u1.AddressOfData != 0; ++name, ++slot) {
      if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal) ||
          std::strcmp(
              reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData)->Name,
              "WriteFile") != 0) {
        continue;
      }
      DWORD protection = 0;
      if (!VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE,
                          &protection)) {
        return false;
      }
      slot->u1.Function = reinterpret_cast<ULONG_PTR>(&WatchedWriteFile);
      VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
      return true;
    }
  }
  return false;
}

bool RequestWritten() {
  return gRequestWritten;
}

namespace {

DWORD WINAPI CallOnWorker(void* call) {
  MakeCall(*static_cast<Call*>(call));
  return 0;
}

}  // namespace

// A call sleeping between connect attempts (no service yet) has no I/O to cancel, so the
// cancel is tried again until the call returns; a wait for a busy instance is cancelled.
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
