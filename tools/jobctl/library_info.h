// What jobctl can tell of a DLL: why it did not load, and what info found in it. Pure text, apart
// from any platform call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::jobctl {

// Why a DLL did not load: the system's text, or for ERROR_BAD_EXE_FORMAT either that the file
// is no Windows image at all (`head`, its first bytes, says which) or the bitness jobctl needs.
std::string LoadFailure(const std::string& dll, std::uint32_t error, const std::string& systemText,
                        const std::string& ownMachine, const std::string& head);
// Whether `head`, a file's first bytes, begins a PE image: "MZ", and "PE\0\0" where it points.
bool IsPeImage(const std::string& head);

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
