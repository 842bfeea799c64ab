#include "install/payload.h"

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

// The longest path the platform gives a module, terminator included.
static const DWORD kLongPathSize = 32768;

bool GetInstallerFolder(char* folder) {
  bool found = false;
  // The path is read whole, however long, and only then cut after its last
  // separator: a path cut to the buffer first would end in some ancestor's
  // separator and name another folder.
  char* path = static_cast<char*>(AllocBlock(kLongPathSize));
  if (path == NULL)
    return false;
  const DWORD length = Platform.GetModuleFileNameA(InstallerModule, path, kLongPathSize);
  if (length != 0 && length < kLongPathSize) {
    path[length] = '\0';
    char* separator = FindLastChar(path, '\\');
    if (separator == NULL) {
      folder[0] = '\0';
      found = true;
    } else {
      separator[1] = '\0';
      found = PathCopy(folder, kInstallerPathSize, path) != NULL;
      if (!found) {
        // Too long for the buffer: the short form names the same folder.
        const DWORD shortLength = Platform.GetShortPathNameA(path, folder, kInstallerPathSize);
        found = shortLength != 0 && shortLength < kInstallerPathSize;
      }
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
