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

int CabForeignFrees = 0;

// True when `link` heads a block CabAlloc handed out and nobody freed yet.
static bool IsLiveBlock(const BlockLink* link) {
  for (const BlockLink* live = LiveBlocks; live != NULL; live = live->list.next) {
    if (live == link)
      return true;
  }
  return false;
}

FNFREE(CabFree) {
  if (pv == NULL)
    return;
  // The library frees values it never got from CabAlloc (small integers,
  // when it changes decompressors between folders of different methods).
  // Only a live block of ours is touched; reading a link in front of
  // anything else would fault.
  BlockLink* link = reinterpret_cast<BlockLink*>(static_cast<char*>(pv) - sizeof(BlockLink));
  if (reinterpret_cast<uintptr_t>(pv) < sizeof(BlockLink) || !IsLiveBlock(link)) {
    ++CabForeignFrees;
    return;
  }
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
// some failures it forgets to close one. It holds two or three at a time; an
// open beyond this many is refused, so that every handle of the library is
// known and a handle that is not one of them is never used.
static const int kTrackedFiles = 32;
static int32_t OpenFiles[kTrackedFiles];
static int OpenFileCount = 0;

// The slot of `handle` in OpenFiles, or -1 when the library did not get it
// from CabOpen (or closed it already).
static int OpenFileSlot(INT_PTR handle) {
  for (int i = 0; i < OpenFileCount; ++i) {
    if (OpenFiles[i] == handle)
      return i;
  }
  return -1;
}

FNOPEN(CabOpen) {
  if (OpenFileCount == kTrackedFiles)
    return -1;
  int32_t handle = FsOpen(pszFile, oflag, kFsDenyNone, pmode);
  // The library passes a writable permission also for the cabinets it only
  // reads; only a request that creates the file is an output file.
  if (handle == -1 && (oflag & kFsCreate) && (pmode & kFsWritable)) {
    if (MakeParentDirs(pszFile) == -1)
      return -1;
    handle = FsOpen(pszFile, oflag, kFsDenyNone, pmode);
  }
  if (handle != -1)
    OpenFiles[OpenFileCount++] = handle;
  return handle;
}

FNREAD(CabRead) {
  if (OpenFileSlot(hf) < 0)
    return static_cast<UINT>(-1);
  return static_cast<UINT>(FsRead(static_cast<int32_t>(hf), pv, cb));
}

bool CabinetWriteFailed = false;

FNWRITE(CabWrite) {
  ProgressAdvance(cb);
  const int32_t written =
      OpenFileSlot(hf) < 0 ? -1 : FsWrite(static_cast<int32_t>(hf), pv, cb);
  if (written != static_cast<int32_t>(cb))
    CabinetWriteFailed = true;
  return static_cast<UINT>(written);
}

FNCLOSE(CabClose) {
  const int slot = OpenFileSlot(hf);
  if (slot < 0)
    return -1;
  OpenFiles[slot] = OpenFiles[--OpenFileCount];
  return FsClose(static_cast<int32_t>(hf));
}

int CabCloseLeftovers() {
  const int count = OpenFileCount;
  while (OpenFileCount > 0)
    FsClose(OpenFiles[--OpenFileCount]);
  return count;
}

FNSEEK(CabSeek) {
  if (OpenFileSlot(hf) < 0)
    return -1;
  return FsSeek(static_cast<int32_t>(hf), dist, seektype);
}
