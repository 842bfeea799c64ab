#include "cabinet/binding.h"

#include <string.h>

#include "fs/file.h"
#include "fs/path.h"
#include "platform/platform.h"
#include "ui/progress.h"

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

// Every block the library holds is kept in a table, so that what it forgets
// to free (some of its failure paths do) can be freed after it is done, and
// so that a free of anything else is known without reading memory around
// it. The library holds two blocks for every file of a cabinet until the
// cabinet is done and then frees them oldest first: the table finds each in
// a step or two however many there are, where walking a list made freeing
// them take time in the square of the number of files. Open addressing with
// linear probing, never more than half full; empty slots are null.
static void** LiveBlocks = NULL;
static size_t LiveCapacity = 0;  // A power of two, or 0 before the first block.
static size_t LiveCount = 0;

static size_t HomeSlot(const void* block) {
  // Fibonacci hashing: blocks are 8-byte aligned, so the address's low bits
  // say nothing.
  const uint64_t key = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(block)) >> 3;
  return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & (LiveCapacity - 1);
}

// The slot that holds `block`, or the empty one where it would go.
static size_t FindSlot(const void* block) {
  size_t slot = HomeSlot(block);
  while (LiveBlocks[slot] != NULL && LiveBlocks[slot] != block)
    slot = (slot + 1) & (LiveCapacity - 1);
  return slot;
}

// Makes room for one more block; false when the table would have to grow
// and cannot.
static bool ReserveSlot() {
  if ((LiveCount + 1) * 2 <= LiveCapacity)
    return true;
  const size_t capacity = LiveCapacity == 0 ? 64 : LiveCapacity * 2;
  void** table = static_cast<void**>(AllocBlock(capacity * sizeof(void*)));
  if (table == NULL)
    return false;
  memset(table, 0, capacity * sizeof(void*));
  void** old = LiveBlocks;
  const size_t oldCapacity = LiveCapacity;
  LiveBlocks = table;
  LiveCapacity = capacity;
  for (size_t i = 0; i < oldCapacity; ++i) {
    if (old[i] != NULL)
      LiveBlocks[FindSlot(old[i])] = old[i];
  }
  FreeBlock(old);
  return true;
}

// Empties `slot`, moving back the blocks after it that would otherwise no
// longer be found from their home slots.
static void EmptySlot(size_t slot) {
  const size_t mask = LiveCapacity - 1;
  for (size_t next = (slot + 1) & mask; LiveBlocks[next] != NULL; next = (next + 1) & mask) {
    // A block may fill the hole when the hole lies between its home and it.
    if (((next - HomeSlot(LiveBlocks[next])) & mask) >= ((next - slot) & mask)) {
      LiveBlocks[slot] = LiveBlocks[next];
      slot = next;
    }
  }
  LiveBlocks[slot] = NULL;
}

// With no live block there is no table either, so that nothing of it
// outlives a library that failed to start (its context is its first block).
static void DropEmptyTable() {
  if (LiveCount == 0) {
    FreeBlock(LiveBlocks);
    LiveBlocks = NULL;
    LiveCapacity = 0;
  }
}

FNALLOC(CabAlloc) {
  // A block of 0 bytes is a block all the same, distinct from every other.
  void* block = AllocBlock(cb != 0 ? cb : 1);
  if (block == NULL)
    return NULL;
  if (!ReserveSlot()) {
    FreeBlock(block);
    return NULL;
  }
  LiveBlocks[FindSlot(block)] = block;
  ++LiveCount;
  return block;
}

int CabForeignFrees = 0;

FNFREE(CabFree) {
  if (pv == NULL)
    return;
  // The library frees values it never got from CabAlloc (small integers,
  // when it changes decompressors between folders of different methods).
  // Only a live block of ours is touched.
  const size_t slot = LiveCapacity != 0 ? FindSlot(pv) : 0;
  if (LiveCapacity == 0 || LiveBlocks[slot] != pv) {
    ++CabForeignFrees;
    return;
  }
  EmptySlot(slot);
  --LiveCount;
  FreeBlock(pv);
  DropEmptyTable();
}

int CabFreeLeftovers() {
  const int count = static_cast<int>(LiveCount);
  for (size_t i = 0; i < LiveCapacity; ++i)
    FreeBlock(LiveBlocks[i]);
  LiveCount = 0;
  DropEmptyTable();
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

// Set by a write that fell short; the callbacks have no other way to tell,
// as the library passes them nothing of the caller's.
static bool WriteFellShort = false;

FNWRITE(CabWrite) {
  // A stop the user asked for fails the write: the library stops after the
  // block it has just unpacked.
  if (!ProgressAdvance(cb))
    return static_cast<UINT>(-1);
  const int32_t written =
      OpenFileSlot(hf) < 0 ? -1 : FsWrite(static_cast<int32_t>(hf), pv, cb);
  if (written != static_cast<int32_t>(cb))
    WriteFellShort = true;
  return static_cast<UINT>(written);
}

void CabWatchWrites() {
  WriteFellShort = false;
}

bool CabWriteFellShort() {
  return WriteFellShort;
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
