#include "pipe_access.h"

namespace velmora::devservice {

std::wstring PipeSecurity(const std::wstring& userSid) {
  // D:P  a DACL that inherits nothing; A;;GA;;;X  allow X all access.
  std::wstring sddl = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
  if (!userSid.empty()) sddl += L"(A;;GA;;;" + userSid + L")";
  return sddl;
}

}  // namespace velmora::devservice
