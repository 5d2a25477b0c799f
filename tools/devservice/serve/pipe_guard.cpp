#include "serve/pipe_guard.h"

#include <sddl.h>

#include <string>

namespace velmora::devservice {
namespace {

// The SID of the user this process runs as, "S-1-5-21-...", or empty if it cannot be read.
std::wstring CurrentUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
  std::wstring sid;
  alignas(TOKEN_USER) char buffer[256];
  DWORD size = 0;
  wchar_t* text = nullptr;
  if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
      ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
    sid = text;
    LocalFree(text);
  }
  CloseHandle(token);
  return sid;
}

}  // namespace

DWORD ServingProcess() {
  const HANDLE client = CreateFileW(L"\\\\.\\pipe\\pipe_job", GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  if (client == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : kUnknownServer;
  }
  ULONG process = 0;
  const BOOL known = GetNamedPipeServerProcessId(client, &process);
  CloseHandle(client);
  return known && process != 0 ? static_cast<DWORD>(process) : kUnknownServer;
}

// A protected DACL (D:P, inheriting nothing) with one allow-all entry (A;;GA) each for SYSTEM,
// the Administrators and the user; no Everyone, no anonymous or network logon.
SECURITY_ATTRIBUTES* PipeSecurity() {
  static SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
  const std::wstring user = CurrentUserSid();
  const std::wstring sddl =
      L"D:P(A;;GA;;;SY)(A;;GA;;;BA)" + (user.empty() ? L"" : L"(A;;GA;;;" + user + L")");
  if (attributes.lpSecurityDescriptor == nullptr &&
      !ConvertStringSecurityDescriptorToSecurityDescriptorW(
          sddl.c_str(), SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr)) {
    return nullptr;
  }
  return &attributes;
}

// Whether another server answers on the pipe, in words; empty when none does or only we do.
// Once our own instances exist, a pipe whose every instance is busy may be busy with our own
// callers, so then only a client that reaches another process tells.
std::string OtherServer(bool ownInstances) {
  const DWORD process = ServingProcess();
  if (process == 0 || process == GetCurrentProcessId()) return "";
  if (process == kUnknownServer) return ownInstances ? "" : "another server";
  return "another server (process " + std::to_string(process) + ")";
}

}  // namespace velmora::devservice
