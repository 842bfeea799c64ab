#include "fs/tree.h"

#include <windows.h>

#include "fs/file.h"
#include "fs/find.h"
#include "fs/path.h"
#include "platform/platform.h"
#include "ui/messages.h"
#include "ui/progress.h"

// Each level of a walk has its own buffers of this size: a path of the
// platform's limit and the "\\*.*" of its search pattern.
static const size_t kTreePathSize = MAX_PATH + 4;

// Every entry, hidden and system ones included: the trees removed here are
// the installer's own, and restored archive attributes make hidden files.
static const uint32_t kAllEntries = kAttrReadOnly | kAttrHidden | kAttrSystem |
                                    kAttrDirectory | kAttrArchive;

// `dir` followed by "\\*.*" into `pattern`; false when it does not fit.
static bool MakePattern(char* pattern, const char* dir) {
  return PathCopy(pattern, kTreePathSize, dir) != NULL &&
         PathAppend(pattern, kTreePathSize, "\\*.*") != NULL;
}

// How long one removal or move waits in all for entries that are busy, and
// how long each wait is. A second stage often leaves a helper running in the
// work directory for a moment after it exits, and an anti-malware scanner
// holds a freshly written file while it reads it.
static const DWORD kBusyPatienceMs = 10000;
static const DWORD kBusyWaitMs = 100;

// The patience of one public operation (a removal, a move), shared by
// everything it does below: started by its first busy entry, never carried
// over from an earlier operation.
struct Patience {
  bool started;
  DWORD start;
};
static const Patience kFreshPatience = {false, 0};

// True when the entry at `path`, whose deletion was refused, is held by
// someone (a running program's image, a mapped file, an open handle): it can
// be opened for deletion with every sharing allowed, or the open is refused
// for sharing. A refusal of the open itself (permissions, a read-only
// directory) is one no waiting mends.
static bool IsHeldElsewhere(const char* path) {
  const HANDLE probe = Platform.CreateFileA(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (probe == INVALID_HANDLE_VALUE)
    return Platform.GetLastError() == ERROR_SHARING_VIOLATION;
  Platform.CloseHandle(probe);
  return true;
}

// True for the errors of an entry in use: a sharing violation (32), a
// directory not yet empty while entries in it are still being deleted (145),
// and access refused (5) while someone holds the entry.
static bool IsBusy(uint32_t osError, const char* path) {
  if (osError == ERROR_SHARING_VIOLATION || osError == ERROR_DIR_NOT_EMPTY)
    return true;
  return osError == ERROR_ACCESS_DENIED && IsHeldElsewhere(path);
}

// After a failed removal of `path`: waits a moment and returns true when the
// failure was a busy entry and `patience` is not used up; false, at once,
// otherwise. The dialog keeps painting while it waits. The failure's error
// stays as it was recorded, for the box.
static bool WaitWhileBusy(const char* path, Patience* patience) {
  const DWORD error = Platform.GetLastError();
  const bool busy = IsBusy(FsOsErrno, path);
  Platform.SetLastError(error);
  if (!busy)
    return false;
  const DWORD now = Platform.GetTickCount();
  if (!patience->started) {
    patience->started = true;
    patience->start = now;
  }
  if (now - patience->start >= kBusyPatienceMs)
    return false;
  PumpMessages();
  Platform.Sleep(kBusyWaitMs);
  return true;
}

// FsUnlink and FsRmdir, tried again while the entry is busy.
static int UnlinkWhenFree(const char* path, Patience* patience) {
  int result;
  while ((result = FsUnlink(path)) != 0 && WaitWhileBusy(path, patience)) {
  }
  return result;
}
static int RmdirWhenFree(const char* path, Patience* patience) {
  int result;
  while ((result = FsRmdir(path)) != 0 && FsErrno != kFsNoEntry && WaitWhileBusy(path, patience)) {
  }
  return result;
}

static bool IsLink(uint32_t attrib) {
  return (attrib & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The one rule for deleting a file: its read-only bit is cleared first;
// when that fails the file may still go (it may not have been read-only),
// so the deletion decides, tried again while the file is busy.
static int UnlinkAnyFile(const char* path, Patience* patience) {
  FsChmod(path, kFsWritable);
  return UnlinkWhenFree(path, patience);
}

// Removes the link `path` itself (a junction or symbolic link), never what it
// points to. Returns 1, or 0 after a box.
static int RemoveLink(const char* path, uint32_t attrib, Patience* patience) {
  if (attrib & kAttrDirectory) {
    if (RmdirWhenFree(path, patience) == 0)
      return 1;
    ShowSystemError(kRemoveDirectoryFailed, path);
    return 0;
  }
  if (UnlinkAnyFile(path, patience) == 0)
    return 1;
  ShowSystemError(kDeleteFileFailed, path);
  return 0;
}

// Called for each entry of `dir` but the dot names; false stops the walk.
typedef bool (*EntryVisitor)(const char* dir, const FindRecord& entry, void* context);

// How a walk over the entries of a directory ended.
enum WalkResult {
  kWalkDone,      // Every entry visited (an empty or missing directory included).
  kWalkStopped,   // A visit failed; its box has been shown.
  kWalkUnlisted,  // The listing itself failed (access refused, a path too
                  // long for it); nothing shown, the platform's error kept.
};

// Visits the entries of `dir` in listing order. The search stays open while
// `visit` runs, so each level of a recursive walk holds its own. A listing
// that fails is never taken for an empty directory: the caller would remove
// it, wait its whole patience, and blame the directory for not being empty
// instead of telling the real reason.
static WalkResult WalkEntries(const char* dir, EntryVisitor visit, void* context) {
  char pattern[kTreePathSize];
  FindBlock block;
  if (!MakePattern(pattern, dir))
    return kWalkUnlisted;
  int found;
  for (found = FsFindFirstMatching(pattern, &block, kAllEntries); found == 0;
       found = FsFindNextMatching(&block)) {
    if (!IsDotsName(block.record.name) && !visit(dir, block.record, context))
      break;
  }
  if (found == 0 || FsErrno == kFsEndOfListing) {  // Stopped, or at the end of the listing.
    FsFindEnd(&block);
    return found == 0 ? kWalkStopped : kWalkDone;
  }
  // Whoever tells the failure reads the platform's error; ending the search
  // must not change it.
  const DWORD error = Platform.GetLastError();
  FsFindEnd(&block);
  Platform.SetLastError(error);
  return kWalkUnlisted;
}

static int DeleteTreeWithin(const char* dir, Patience* patience);

// Visits an entry of a tree being removed; `context` is the removal's
// Patience.
static bool DeleteEntry(const char* dir, const FindRecord& entry, void* context) {
  Patience* patience = static_cast<Patience*>(context);
  KeepAlive();
  char path[kTreePathSize];
  // The separator always goes in; PathJoin's rules are not wanted here.
  if (PathCopy(path, sizeof(path), dir) == NULL || PathAppend(path, sizeof(path), "\\") == NULL ||
      PathAppend(path, sizeof(path), entry.name) == NULL) {
    ShowSystemError(kRemoveDirectoryFailed, dir);
    return false;
  }
  if (IsLink(entry.attrib))
    return RemoveLink(path, entry.attrib, patience) != 0;
  if (entry.attrib & kAttrDirectory)
    return DeleteTreeWithin(path, patience) != 0;
  if (UnlinkAnyFile(path, patience) != 0) {
    ShowSystemError(kDeleteFileFailed, path);
    return false;
  }
  return true;
}

int RemoveFile(const char* path) {
  Patience patience = kFreshPatience;
  return UnlinkAnyFile(path, &patience) == 0 ? 1 : 0;
}

// DeleteTree within the patience of an operation under way.
static int DeleteTreeWithin(const char* dir, Patience* patience) {
  int result = 0;
  const WalkResult walk = WalkEntries(dir, DeleteEntry, patience);
  if (walk == kWalkDone) {
    if (RmdirWhenFree(dir, patience) == 0 || FsErrno == kFsNoEntry)
      result = 1;
    else
      ShowSystemError(kRemoveDirectoryFailed, dir);
  } else if (walk == kWalkUnlisted) {
    // An empty directory may still go; if it does not, the box tells why it
    // could not be listed, not that it is not empty.
    const DWORD listingError = Platform.GetLastError();
    if (FsRmdir(dir) == 0 || FsErrno == kFsNoEntry) {
      result = 1;
    } else {
      Platform.SetLastError(listingError);
      ShowSystemError(kRemoveDirectoryFailed, dir);
    }
  }
  return result;
}

int DeleteTree(const char* dir) {
  Patience patience = kFreshPatience;
  return DeleteTreeWithin(dir, &patience);
}

// The attributes of `path`, or 0 when they cannot be read.
static DWORD AttributesOrNone(const char* path) {
  const DWORD attributes = Platform.GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES ? attributes : 0;
}

int MoveFileEntry(const char* src, const char* dst) {
  const DWORD attributes = AttributesOrNone(src);
  if (FsRename(src, dst) != 0)
    return 0;
  Platform.SetFileAttributesA(dst, attributes);  // Ignored: the move is done.
  return 1;
}

// Makes the directory `dst` with the attributes of the directory `src`.
// Returns 1, or 0 without a message.
static int MakeDirectoryLike(const char* src, const char* dst) {
  const DWORD attributes = AttributesOrNone(src);
  if (FsMkdir(dst) != 0)
    return 0;
  Platform.SetFileAttributesA(dst, attributes);  // Ignored: the directory is there.
  return 1;
}

// Makes room in the destination for a directory: removes whatever entry of
// that name is there (a link as itself). Returns 1, or 0 after a box.
static int ClearForDirectory(const char* path, Patience* patience) {
  const DWORD attributes = Platform.GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return 1;
  if (IsLink(attributes))
    return RemoveLink(path, attributes, patience);
  return DeleteTreeWithin(path, patience);
}

// Makes room in the destination for a file: clears and deletes an entry of
// that name. Returns 1, or 0 after a box naming the source.
static int ClearForFile(const char* path, const char* source, Patience* patience) {
  if (FsAccess(path, 0) != 0 || UnlinkAnyFile(path, patience) == 0)
    return 1;
  ShowSystemError(kMoveFileFailed, source);
  return 0;
}

// A move under way: where its entries go, and its patience.
struct MoveContext {
  const char* dst;
  Patience* patience;
};

static int MoveTreeWithin(const char* src, const char* dst, Patience* patience);

// Moves one entry of `src` into the directory of the MoveContext `context`.
static bool MoveOneEntry(const char* src, const FindRecord& entry, void* context) {
  // A stop the user asked for ends the move before the next entry.
  if (!KeepAlive())
    return false;
  const MoveContext* move = static_cast<const MoveContext*>(context);
  const char* dst = move->dst;
  char srcPath[kTreePathSize];
  char dstPath[kTreePathSize];
  if (PathCombine(srcPath, sizeof(srcPath), src, entry.name) == NULL ||
      PathCombine(dstPath, sizeof(dstPath), dst, entry.name) == NULL) {
    ShowSystemError(kMoveFileFailed, src);
    return false;
  }
  if ((entry.attrib & kAttrDirectory) && !IsLink(entry.attrib)) {
    // An existing directory of that name is replaced whole. Then the
    // directory goes over in one move, its attributes and content with it;
    // only if the platform refuses that is it made anew with the source's
    // attributes and filled level by level.
    if (!ClearForDirectory(dstPath, move->patience))
      return false;
    if (FsRename(srcPath, dstPath) == 0)
      return true;
    return MakeDirectoryLike(srcPath, dstPath) && MoveTreeWithin(srcPath, dstPath, move->patience);
  }
  if (!ClearForFile(dstPath, srcPath, move->patience))
    return false;
  // A link is moved like a file: the link itself, not what it points to.
  if (!MoveFileEntry(srcPath, dstPath)) {
    ShowSystemError(kMoveFileFailed, srcPath);
    return false;
  }
  return true;
}

// MoveTree within the patience of an operation under way.
static int MoveTreeWithin(const char* src, const char* dst, Patience* patience) {
  MoveContext move = {dst, patience};
  const WalkResult walk = WalkEntries(src, MoveOneEntry, &move);
  if (walk == kWalkUnlisted)
    ShowSystemError(kMoveFileFailed, src);
  if (walk != kWalkDone)
    return 0;
  if (FsRmdir(src) == 0)
    return 1;
  ShowSystemError(kRemoveDirectoryFailed, src);
  return 0;
}

int MoveTree(const char* src, const char* dst) {
  Patience patience = kFreshPatience;
  return MoveTreeWithin(src, dst, &patience);
}
