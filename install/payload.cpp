#include "install/payload.h"

#include <wchar.h>

#include "fs/copy.h"
#include "fs/file.h"
#include "fs/path.h"
#include "fs/shipped.h"
#include "platform/platform.h"
#include "ui/messages.h"
#include "ui/progress.h"

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

int LoadShippedRecord() {
  Shipped.bytes = NULL;
  Shipped.size = 0;
  HRSRC found = Platform.FindResourceA(InstallerModule, MAKEINTRESOURCEA(kShippedResourceId), RT_RCDATA);
  if (found == NULL) {
    // Only "not there" means an installer without a record; any other
    // failure must not pass for one, which would trust what lies beside it.
    const DWORD error = Platform.GetLastError();
    // 1812 to 1815: no resources at all, none of the type, of the name, or
    // of the language.
    return error >= ERROR_RESOURCE_DATA_NOT_FOUND && error <= ERROR_RESOURCE_LANG_NOT_FOUND ? 0 : -1;
  }
  const DWORD size = Platform.SizeofResource(InstallerModule, found);
  HGLOBAL loaded = size != 0 ? Platform.LoadResource(InstallerModule, found) : NULL;
  const uint8_t* bytes = loaded != NULL ? static_cast<const uint8_t*>(Platform.LockResource(loaded)) : NULL;
  if (!ShippedRecordValid(bytes, size))
    return -1;
  Shipped.bytes = bytes;
  Shipped.size = size;
  return 1;
}

static const char kCompanionDiffers[] =
    "Zbiór %s nie pochodzi z tej instalacji!\n\nInstalacja zostanie przerwana.";

// Copies `source` to `target`, or leaves no partial or empty file there.
static void CopyWholeOrNothing(const char* source, const char* target) {
  if (CopyWholeFile(source, target) != 0)
    FsUnlink(target);
}

// Copies the companion `name` from `source` to `target` when it is to be
// copied. Returns 0, or -1 after the box for a declared companion that is
// not the vendor's.
static int CopyCompanion(const char* name, const char* source, const char* target) {
  if (FsAccess(source, 0) != 0)
    return 0;
  if (Shipped.bytes == NULL) {
    CopyWholeOrNothing(source, target);
    return 0;
  }
  ShippedEntry entry;
  if (!FindShipped(Shipped, kShippedCompanion, name, &entry))
    return 0;
  int32_t held;
  const int check = CheckShippedFile(source, entry, &held);
  if (check == kShippedDiffers) {
    ShowFileError(kCompanionDiffers, source);
    return -1;
  }
  // One that cannot be read is passed over, as one that is missing.
  if (check != kShippedMatches)
    return 0;
  // Copied while the checked file is held open, writers shut out.
  CopyWholeOrNothing(source, target);
  FsClose(held);
  return 0;
}

int CopyCompanionFiles(const char* workDir, const char* sourceDir) {
  for (size_t i = 0; i < sizeof(kCompanionFiles) / sizeof(kCompanionFiles[0]); ++i) {
    char source[MAX_PATH];
    char target[MAX_PATH];
    if (PathCombine(source, sizeof(source), sourceDir, kCompanionFiles[i]) == NULL ||
        PathCombine(target, sizeof(target), workDir, kCompanionFiles[i]) == NULL)
      continue;
    if (CopyCompanion(kCompanionFiles[i], source, target) != 0 || StopRequested)
      return -1;
  }
  return 0;
}
