#include "install/payload.h"

#include <wchar.h>

#include "app/dialog.h"
#include "app/resource.h"
#include "fs/copy.h"
#include "fs/file.h"
#include "fs/path.h"
#include "platform/platform.h"

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
  HRSRC found = Platform.FindResourceA(InstallerModule, MAKEINTRESOURCEA(IDR_PAYLOAD), RT_RCDATA);
  if (found == NULL)
    return 0;
  const DWORD size = Platform.SizeofResource(InstallerModule, found);
  if (size == 0)
    return 0;
  HGLOBAL loaded = Platform.LoadResource(InstallerModule, found);
  if (loaded == NULL)
    return size;  // The caller's null block makes the writer refuse.
  *blockOut = Platform.LockResource(loaded);
  return *blockOut != NULL ? size : 0;
}

int CopyCompanionFiles(const char* workDir, const char* sourceDir) {
  int result = 0;
  for (size_t i = 0; i < sizeof(kCompanionFiles) / sizeof(kCompanionFiles[0]); ++i) {
    char source[MAX_PATH];
    char target[MAX_PATH];
    if (PathCopy(source, sizeof(source), sourceDir) == NULL ||
        PathJoin(source, sizeof(source), kCompanionFiles[i]) == NULL ||
        PathCopy(target, sizeof(target), workDir) == NULL ||
        PathJoin(target, sizeof(target), kCompanionFiles[i]) == NULL) {
      result = -1;
      continue;
    }
    result = FsAccess(source, 0);
    if (result != 0)
      continue;
    result = CopyWholeFile(source, target, 0);
    if (result != 0)
      FsUnlink(target);  // No partial or empty file stays behind.
  }
  return result;
}
