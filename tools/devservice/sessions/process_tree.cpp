#include "sessions/process_tree.h"

namespace velmora::devservice {

std::vector<ProcessIdentity> Ancestry(unsigned long pid, const ProcessLookup& lookup) {
  std::vector<ProcessIdentity> chain;
  std::optional<ProcessRecord> record = pid != 0 ? lookup(pid) : std::nullopt;
  while (record && chain.size() < kMaxAncestry) {
    chain.push_back({pid, record->created});
    const unsigned long parent = record->parent;
    if (parent == 0 || parent == pid) break;
    const std::optional<ProcessRecord> above = lookup(parent);
    if (!above || above->created > record->created) break;
    pid = parent;
    record = above;
  }
  return chain;
}

}  // namespace velmora::devservice
