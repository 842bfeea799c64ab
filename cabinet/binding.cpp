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

// Every block the library holds is kept in a list, so that what it forgets
// to free (some of its failure paths do) can be freed after it is done. The
// link sits in front of the block; 16 bytes keep the block's alignment.
union BlockLink {
  struct {
    BlockLink* previous;
    BlockLink* next;
  } list;
  char align[16];
};
static BlockLink* LiveBlocks = NULL;

FNALLOC(CabAlloc) {
  if (cb > static_cast<ULONG>(-1) - sizeof(BlockLink))
    return NULL;
  BlockLink* link = static_cast<BlockLink*>(AllocBlock(cb + sizeof(BlockLink)));
  if (link == NULL)
    return NULL;
  link->list.previous = NULL;
  link->list.next = LiveBlocks;
  if (LiveBlocks != NULL)
    LiveBlocks->list.previous = link;
  LiveBlocks = link;
  return link + 1;
}

FNFREE(CabFree) {
  if (pv == NULL)
    return;
  BlockLink* link = static_cast<BlockLink*>(pv) - 1;
  if (link->list.previous != NULL)
    link->list.previous->list.next = link->list.next;
  else
    LiveBlocks = link->list.next;
  if (link->list.next != NULL)
    link->list.next->list.previous = link->list.previous;
  FreeBlock(link);
}

int CabFreeLeftovers() {
  int count = 0;
  while (LiveBlocks != NULL) {
    BlockLink* link = LiveBlocks;
    LiveBlocks = link->list.next;
    FreeBlock(link);
    ++count;
  }
  return count;
}

// The files the library has open, for the same reason as the blocks: on
// some failures it forgets to close one. More at once than this are not
// kept account of (the library holds two or three).
static const int kTrackedFiles = 32;
static int32_t OpenFiles[kTrackedFiles];
static int OpenFileCount = 0;

FNOPEN(CabOpen) {
  int32_t handle = FsOpen(pszFile, oflag, kFsDenyNone, pmode);
  // The library passes a writable permission also for the cabinets it only
  // reads; only a request that creates the file is an output file.
  if (handle == -1 && (oflag & kFsCreate) && (pmode & kFsWritable)) {
    if (MakeParentDirs(pszFile) == -1)
      return -1;
    handle = FsOpen(pszFile, oflag, kFsDenyNone, pmode);
  }
  if (handle != -1 && OpenFileCount < kTrackedFiles)
    OpenFiles[OpenFileCount++] = handle;
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
  for (int i = 0; i < OpenFileCount; ++i) {
    if (OpenFiles[i] == static_cast<int32_t>(hf)) {
      OpenFiles[i] = OpenFiles[--OpenFileCount];
      break;
    }
  }
  return FsClose(static_cast<int32_t>(hf));
}

int CabCloseLeftovers() {
  const int count = OpenFileCount;
  while (OpenFileCount > 0)
    FsClose(OpenFiles[--OpenFileCount]);
  return count;
}

FNSEEK(CabSeek) {
  return FsSeek(static_cast<int32_t>(hf), dist, seektype);
}
