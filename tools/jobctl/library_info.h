// What jobctl can tell of a DLL: which machine a PE file is for, why one did not load, and
// what info found in a loaded one. Pure text, apart from any platform call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::jobctl {

// "32-bit x86" or "64-bit x64" from the first bytes of a PE file, or "" if they are not one.
std::string MachineOfPe(const std::string& fileStart);
// Why a DLL did not load: the system's text, and for a DLL of the other bitness
// (ERROR_BAD_EXE_FORMAT) which bitness each side has.
std::string LoadFailure(const std::string& dll, std::uint32_t error, const std::string& systemText,
                        const std::string& dllMachine, const std::string& ownMachine);

struct LibraryFacts {
  std::string dll;      // UTF-8
  std::string version;  // its file version, or "unknown"
  std::vector<std::string> exported;
  std::vector<std::string> missing;
  bool variable = false;  // it exports ?nVelmora@@3HA
};
// Velmora exports the scheduler no-ops, StartJob and nVelmora whatever its edition.
bool IsVelmora(const LibraryFacts& facts);
// 3 or 2 for Velmora of a known edition, else 0.
int EditionOf(const LibraryFacts& facts);
std::string InfoText(const LibraryFacts& facts, bool json);

}  // namespace velmora::jobctl
