// Velmora.dll loaded as a host loads it: LoadLibrary, then GetProcAddress by name.
#pragma once

#include <windows.h>

#include <string>

namespace velmora::testing {

// Set from the command line: --velmora-dll=PATH --velmora-edition=N
struct LibraryUnderTest {
  std::string path;
  int edition = 3;
};
const LibraryUnderTest& Library();
void SetLibrary(LibraryUnderTest library);

using IntFromVoid = int(__cdecl*)();
using IntFromInt = int(__cdecl*)(int);
using IntFromIntInt = int(__cdecl*)(int, int);
using VoidFromVoid = void(__cdecl*)();
using VoidFromInt = void(__cdecl*)(int);
using IntFromText = int(__cdecl*)(const char*);
using IntFromIntText = int(__cdecl*)(int, const char*);
using IntFromIntTextText = int(__cdecl*)(int, const char*, const char*);

class VelmoraLibrary {
 public:
  VelmoraLibrary();
  ~VelmoraLibrary();
  VelmoraLibrary(const VelmoraLibrary&) = delete;
  VelmoraLibrary& operator=(const VelmoraLibrary&) = delete;

  bool loaded() const { return module_ != nullptr; }
  FARPROC Find(const char* name) const { return GetProcAddress(module_, name); }
  template <typename Function>
  Function Get(const char* name) const {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(Find(name)));
  }

 private:
  HMODULE module_;
};

}  // namespace velmora::testing
