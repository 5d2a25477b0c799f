// The running system's processes, through a Toolhelp snapshot for the parents and each
// process's own times for its creation.
#include <windows.h>
// The snapshot's declarations need windows.h first.
#include <tlhelp32.h>

#include <memory>
#include <unordered_map>

#include "sessions/process_tree.h"

namespace velmora::devservice {
namespace {

std::optional<std::uint64_t> CreationTime(unsigned long pid) {
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return std::nullopt;
  FILETIME created{}, exited{}, kernel{}, user{};
  const BOOL got = GetProcessTimes(process, &created, &exited, &kernel, &user);
  DWORD code = 0;
  const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  CloseHandle(process);
  if (!got || !running) return std::nullopt;
  return std::uint64_t{created.dwHighDateTime} << 32 | created.dwLowDateTime;
}

}  // namespace

ProcessLookup SystemProcesses() {
  // One snapshot for the whole walk: the parents as they were at one moment.
  auto parents = std::make_shared<std::unordered_map<unsigned long, unsigned long>>();
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
      (*parents)[entry.th32ProcessID] = entry.th32ParentProcessID;
    }
    CloseHandle(snapshot);
  }
  return [parents](unsigned long pid) -> std::optional<ProcessRecord> {
    const auto found = parents->find(pid);
    if (found == parents->end()) return std::nullopt;
    const std::optional<std::uint64_t> created = CreationTime(pid);
    if (!created) return std::nullopt;
    return ProcessRecord{found->second, *created};
  };
}

std::optional<ProcessIdentity> IdentifyProcess(unsigned long pid) {
  const std::optional<std::uint64_t> created = CreationTime(pid);
  if (!created) return std::nullopt;
  return ProcessIdentity{pid, *created};
}

}  // namespace velmora::devservice
