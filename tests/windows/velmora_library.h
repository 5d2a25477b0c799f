// Velmora.dll loaded as a host loads it: LoadLibrary, then GetProcAddress by name.
#pragma once

#include <windows.h>

#include <string>

#include "export_call.h"

namespace velmora::test_support {

// Set from the command line: --velmora-dll=PATH --velmora-edition=N
struct LibraryUnderTest {
  std::string path;
  int edition = 3;
};
const LibraryUnderTest& Library();
void SetLibrary(LibraryUnderTest library);

using tools::IntFromInt;
using tools::IntFromIntInt;
using tools::IntFromIntText;
using tools::IntFromIntTextText;
using tools::IntFromText;
using tools::IntFromVoid;
using tools::VoidFromInt;
using tools::VoidFromVoid;

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

}  // namespace velmora::test_support
