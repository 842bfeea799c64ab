#include "cabinet/binding.h"

#include "app/progress.h"
#include "fs/file.h"
#include "fs/path.h"
#include "platform/platform.h"

CabinetApi Cabinet = {NULL, NULL, NULL, NULL, NULL};

static void ClearEntries(HMODULE* handleSlot, const LibraryEntry* entries, int count) {
  *handleSlot = NULL;
  for (int i = 0; i < count; ++i)
    *entries[i].slot = NULL;
}

int LoadLibraryEntries(const char* libraryName, HMODULE* handleSlot, const LibraryEntry* entries,
                       int count) {
  // A full path: a library of the same name planted beside the installer (a
  // Downloads folder) or in the current directory is never picked up.
  char path[MAX_PATH];
  const UINT length = Platform.GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH || PathJoin(path, sizeof(path), libraryName) == NULL) {
    ClearEntries(handleSlot, entries, count);
    return -1;
  }
  *handleSlot = Platform.LoadLibraryA(path);
  if (*handleSlot == NULL) {
    ClearEntries(handleSlot, entries, count);
    return -1;
  }
  for (int i = 0; i < count; ++i) {
    *entries[i].slot = Platform.GetProcAddress(*handleSlot, entries[i].name);
    if (*entries[i].slot == NULL) {
      Platform.FreeLibrary(*handleSlot);
      ClearEntries(handleSlot, entries, count);
      return 0;
    }
  }
  return 1;
}

int BindCabinetLibrary() {
  const LibraryEntry entries[] = {
      {"FDICopy", reinterpret_cast<FARPROC*>(&Cabinet.copy)},
      {"FDIIsCabinet", reinterpret_cast<FARPROC*>(&Cabinet.isCabinet)},
      {"FDIDestroy", reinterpret_cast<FARPROC*>(&Cabinet.destroy)},
      {"FDICreate", reinterpret_cast<FARPROC*>(&Cabinet.create)},
  };
  return LoadLibraryEntries("CABINET.DLL", &Cabinet.library, entries,
                            sizeof(entries) / sizeof(entries[0]));
}

void UnbindCabinetLibrary() {
  if (Cabinet.library != NULL) {
    Platform.FreeLibrary(Cabinet.library);
    Cabinet.library = NULL;
  }
}

FNALLOC(CabAlloc) {
  return AllocBlock(cb);
}

FNFREE(CabFree) {
  FreeBlock(pv);
}

FNOPEN(CabOpen) {
  int32_t handle = FsOpen(pszFile, oflag, kFsDenyNone, pmode);
  // The library passes a writable permission also for the cabinets it only
  // reads; only a request that creates the file is an output file.
  if (handle == -1 && (oflag & kFsCreate) && (pmode & kFsWritable)) {
    if (MakeParentDirs(pszFile) == -1)
      return -1;
    handle = FsOpen(pszFile, oflag, kFsDenyNone, pmode);
  }
  return handle;
}

FNREAD(CabRead) {
  return static_cast<UINT>(FsRead(static_cast<int32_t>(hf), pv, cb));
}

bool CabinetWriteFailed = false;

FNWRITE(CabWrite) {
  ProgressAdvance(cb);
  const int32_t written = FsWrite(static_cast<int32_t>(hf), pv, cb);
  if (written != static_cast<int32_t>(cb))
    CabinetWriteFailed = true;
  return static_cast<UINT>(written);
}

FNCLOSE(CabClose) {
  return FsClose(static_cast<int32_t>(hf));
}

FNSEEK(CabSeek) {
  return FsSeek(static_cast<int32_t>(hf), dist, seektype);
}
