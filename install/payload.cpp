#include "install/payload.h"

#include <wchar.h>

#include "fs/copy.h"
#include "fs/file.h"
#include "fs/path.h"
#include "platform/platform.h"

HINSTANCE InstallerModule = NULL;

// Looked for in this order.
static const char* const kCompanionFiles[] = {
    "kavel.chm", "gdiplus.dll", "prsetx.bi_", "wyrmo.bi_", "wyrmo1.bi_", "wyrmo2.bi_",
};

bool GetInstallerFolder(char* folder) {
  bool found = false;
  // The path is read whole, in UTF-16, however long, and only then cut
  // after its last separator: a path cut to a buffer first would end in some
  // ancestor's separator and name another folder, and one read in the ANSI
  // code page would have "?" for every character the code page lacks.
  WCHAR* path = static_cast<WCHAR*>(AllocBlock(kLongPathSize * sizeof(WCHAR)));
  if (path == NULL)
    return false;
  const DWORD length = Platform.GetModuleFileNameW(InstallerModule, path, kLongPathSize);
  if (length != 0 && length < kLongPathSize) {
    path[length] = L'\0';
    WCHAR* separator = wcsrchr(path, L'\\');
    if (separator == NULL) {
      folder[0] = '\0';
      found = true;
    } else {
      separator[1] = L'\0';
      found = PathToAnsi(path, folder, kInstallerPathSize);
    }
  }
  if (!found)
    folder[0] = '\0';
  FreeBlock(path);
  return found;
}

DWORD FindPayload(const void** blockOut) {
  *blockOut = NULL;
  HRSRC found = Platform.FindResourceA(InstallerModule, MAKEINTRESOURCEA(kPayloadResourceId), RT_RCDATA);
  if (found == NULL)
    return 0;
  const DWORD size = Platform.SizeofResource(InstallerModule, found);
  HGLOBAL loaded = size != 0 ? Platform.LoadResource(InstallerModule, found) : NULL;
  if (loaded != NULL)
    *blockOut = Platform.LockResource(loaded);
  return *blockOut != NULL ? size : 0;
}

int CopyCompanionFiles(const char* workDir, const char* sourceDir) {
  int result = 0;
  for (size_t i = 0; i < sizeof(kCompanionFiles) / sizeof(kCompanionFiles[0]); ++i) {
    char source[MAX_PATH];
    char target[MAX_PATH];
    if (PathCombine(source, sizeof(source), sourceDir, kCompanionFiles[i]) == NULL ||
        PathCombine(target, sizeof(target), workDir, kCompanionFiles[i]) == NULL) {
      result = -1;
      continue;
    }
    result = FsAccess(source, 0);
    if (result != 0)
      continue;
    result = CopyWholeFile(source, target);
    if (result != 0)
      FsUnlink(target);  // No partial or empty file stays behind.
  }
  return result;
}
