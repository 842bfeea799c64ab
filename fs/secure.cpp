#include "fs/secure.h"

#include <sddl.h>

#include "fs/path.h"
#include "platform/platform.h"

// The descriptor around the user's SID. Rights: FA full control; 0x1200a9
// read and execute (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE). "P" protects
// the list from what the temporary folder would pass down; OICI passes it on
// to files and folders made inside. The label: High, no write up.
static const char kDescriptorHead[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;";
static const char kDescriptorTail[] = ")(A;OICI;0x1200a9;;;OW)S:(ML;OICI;NW;;;HI)";

// True when `token` is elevated; false with the platform's error when it
// cannot be told.
static bool QueryElevated(HANDLE token, bool* elevated) {
  TOKEN_ELEVATION elevation;
  DWORD length = 0;
  if (!Platform.GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &length))
    return false;
  *elevated = elevation.TokenIsElevated != 0;
  return true;
}

// The SDDL text of the token's user into `sid` (LocalFree it), or false.
static bool QueryUserSid(HANDLE token, char** sid) {
  // A TOKEN_USER with the largest SID there is.
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD length = 0;
  return Platform.GetTokenInformation(token, TokenUser, &info, sizeof(info), &length) &&
         Platform.ConvertSidToStringSidA(info.user.User.Sid, sid);
}

int MakeDirectorySecurity(SECURITY_ATTRIBUTES* attributes) {
  int result = -1;
  HANDLE token = NULL;
  char* sid = NULL;
  bool elevated = false;
  if (!Platform.OpenProcessToken(Platform.GetCurrentProcess(), TOKEN_QUERY, &token)) {
    token = NULL;
    goto done;
  }
  if (!QueryElevated(token, &elevated))
    goto done;
  if (!elevated) {
    result = 0;
    goto done;
  }
  if (QueryUserSid(token, &sid)) {
    char text[sizeof(kDescriptorHead) + sizeof(kDescriptorTail) + 256];
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (PathCopy(text, sizeof(text), kDescriptorHead) != NULL &&
        PathAppend(text, sizeof(text), sid) != NULL &&
        PathAppend(text, sizeof(text), kDescriptorTail) != NULL &&
        Platform.ConvertStringSecurityDescriptorToSecurityDescriptorA(text, SDDL_REVISION_1,
                                                                      &descriptor, NULL)) {
      attributes->nLength = sizeof(*attributes);
      attributes->lpSecurityDescriptor = descriptor;
      attributes->bInheritHandle = FALSE;
      result = 1;
    }
  }
done:
  // Releasing must not lose the reason of a failure.
  const DWORD error = Platform.GetLastError();
  if (sid != NULL)
    Platform.LocalFree(sid);
  if (token != NULL)
    Platform.CloseHandle(token);
  Platform.SetLastError(error);
  return result;
}

void FreeDirectorySecurity(SECURITY_ATTRIBUTES* attributes) {
  if (attributes->lpSecurityDescriptor != NULL)
    Platform.LocalFree(attributes->lpSecurityDescriptor);
  attributes->lpSecurityDescriptor = NULL;
}
