// Calls an export of Velmora.dll by its address, given its operands: the job or other numbers
// first, then the texts. Every export is cdecl and takes at most three operands; the shape of
// the call follows from how many of each kind it takes and whether it returns the status or
// leaves it as the thread's last error.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "velmora.h"

namespace velmora::tools {

// The shapes of the exports.
using IntFromVoid = int(VELMORA_CALL*)();
using IntFromInt = int(VELMORA_CALL*)(int);
using IntFromIntInt = int(VELMORA_CALL*)(int, int);
using VoidFromVoid = void(VELMORA_CALL*)();
using VoidFromInt = void(VELMORA_CALL*)(int);
using IntFromText = int(VELMORA_CALL*)(const char*);
using IntFromIntText = int(VELMORA_CALL*)(int, const char*);
using IntFromIntTextText = int(VELMORA_CALL*)(int, const char*, const char*);

// The address as a function of the given shape.
template <typename Function>
Function As(const void* function) {
  return reinterpret_cast<Function>(const_cast<void*>(function));
}

// The status the export returned, or nothing for the two exports that return nothing (their
// caller reads the last error). Nothing too for a shape no export has.
inline std::optional<std::int32_t> CallExport(const void* function, bool returnsStatus,
                                              const std::vector<std::int32_t>& n,
                                              const std::vector<const char*>& t) {
  if (!returnsStatus) {
    if (n.empty() && t.empty()) As<VoidFromVoid>(function)();
    if (n.size() == 1 && t.empty()) As<VoidFromInt>(function)(n[0]);
    return std::nullopt;
  }
  if (t.empty() && n.size() == 1) return As<IntFromInt>(function)(n[0]);
  if (t.empty() && n.size() == 2) return As<IntFromIntInt>(function)(n[0], n[1]);
  if (t.size() == 1 && n.empty()) return As<IntFromText>(function)(t[0]);
  if (t.size() == 1 && n.size() == 1) {
    return As<IntFromIntText>(function)(n[0], t[0]);
  }
  if (t.size() == 2 && n.size() == 1) {
    return As<IntFromIntTextText>(function)(n[0], t[0], t[1]);
  }
  return std::nullopt;
}

}  // namespace velmora::tools
