// The layer's own system helpers for Windows.
#include "platform/system.h"

#include <cstring>

DWORD RunAsAccount(const char* account) {
  // A program's account is chosen when it starts (a service's log-on account,
  // tvinstall's ObjectName); a running process cannot change it. Only the
  // account it already runs as is accepted.
  char user[257];
  DWORD size = sizeof user;
  if (!GetUserNameA(user, &size)) return GetLastError();
  if (_stricmp(user, account) == 0) return ERROR_SUCCESS;
  char sid[SECURITY_MAX_SID_SIZE];
  DWORD sid_size = sizeof sid;
  char domain[256];
  DWORD domain_size = sizeof domain;
  SID_NAME_USE use;
  if (!LookupAccountNameA(nullptr, account, sid, &sid_size, domain, &domain_size, &use))
    return ERROR_NONE_MAPPED;
  return ERROR_NOT_SUPPORTED;
}
