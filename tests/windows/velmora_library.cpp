#include "velmora_library.h"

#include <utility>

namespace velmora::test_support {
namespace {

LibraryUnderTest gLibrary;

// A path from the Linux build tree names the same file through Wine's drive Z:.
std::string WindowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

}  // namespace

const LibraryUnderTest& Library() {
  return gLibrary;
}
void SetLibrary(LibraryUnderTest library) {
  gLibrary = std::move(library);
}

VelmoraLibrary::VelmoraLibrary() : module_(LoadLibraryA(WindowsPath(gLibrary.path).c_str())) {}

VelmoraLibrary::~VelmoraLibrary() {
  if (module_ != nullptr) FreeLibrary(module_);
}

}  // namespace velmora::test_support
