// Velmora.dll as jobctl meets it on Windows: loaded at run time, its version, its exports
// called on this thread or on a worker with a time limit, whether the call wrote its request,
// and the system's texts.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "export_table.h"
#include "library_info.h"

namespace velmora::jobctl {

// Velmora.dll beside jobctl.exe.
std::wstring DefaultDllPath();
// The system's text for a code, UTF-8, without its line end; empty if it has none.
std::string SystemText(DWORD code);
// Why the DLL at `path` did not load with `error`.
std::string WhyNotLoaded(const std::wstring& path, DWORD error);
// The loaded module's path, version, and which exports of the table it has.
LibraryFacts ReadFacts(HMODULE module);

// From here on the library's WriteFile passes through jobctl, which notes that the request
// is on its way. False when the module imports no WriteFile from kernel32 by name: then
// whether the request was written cannot be told.
bool WatchRequestWrites(HMODULE module);
bool RequestWritten();

struct Call {
  FARPROC function;
  const tools::ExportInfo* info;
  std::vector<std::int32_t> numbers;
  std::vector<std::string> texts;  // ANSI
  std::int32_t status = 0;
};
// Calls the export; the two that return nothing report through the last error.
void MakeCall(Call& call);
// Runs the call on a worker thread; when the time is up, cancels its blocked pipe I/O until it
// returns. True when the time ran out.
bool MakeBoundedCall(Call& call, double seconds);

}  // namespace velmora::jobctl
