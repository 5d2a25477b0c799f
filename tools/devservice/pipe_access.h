// Who may open the development service's pipe: the user who runs the service, SYSTEM and the
// Administrators, with full access; nobody else (no Everyone, no anonymous, no network logon).
#pragma once

#include <string>

namespace velmora::devservice {

// The pipe's security descriptor in the Windows SDDL form: a protected DACL with one allow
// entry each for SYSTEM, the Administrators and `userSid` ("S-1-5-21-..."). With an empty SID
// the user's entry is left out.
std::wstring PipeSecurity(const std::wstring& userSid);

}  // namespace velmora::devservice
