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

// How long one removal waits in all for entries that are busy, and how long
// each wait is. A second stage often leaves a helper running in the work
// directory for a moment after it exits, and an anti-malware scanner holds a
// freshly written file while it reads it.
static const DWORD kBusyPatienceMs = 10000;
static const DWORD kBusyWaitMs = 100;

// The removal under way: nesting depth, and when it first met a busy entry.
static int RemovalDepth = 0;
static bool BusySince = false;
static DWORD BusyStart = 0;

// True for the errors of an entry in use: a sharing violation (32), access
// refused while another process holds the file (5), a directory not yet
// empty while entries in it are still being deleted (145).
static bool IsBusy(uint32_t osError) {
  return osError == ERROR_SHARING_VIOLATION || osError == ERROR_ACCESS_DENIED ||
         osError == ERROR_DIR_NOT_EMPTY;
}

// After a failed removal: waits a moment and returns true when the failure
// was a busy entry and the removal's patience is not used up. The dialog
// keeps painting while it waits.
static bool WaitWhileBusy() {
  if (!IsBusy(FsOsErrno))
    return false;
  const DWORD now = Platform.GetTickCount();
  if (!BusySince) {
    BusySince = true;
    BusyStart = now;
  }
  if (now - BusyStart >= kBusyPatienceMs)
    return false;
  PumpMessages();
  Platform.Sleep(kBusyWaitMs);
  return true;
}

// FsUnlink and FsRmdir, tried again while the entry is busy.
static int UnlinkWhenFree(const char* path) {
  int result;
  while ((result = FsUnlink(path)) != 0 && WaitWhileBusy()) {
  }
  return result;
}
static int RmdirWhenFree(const char* path) {
  int result;
  while ((result = FsRmdir(path)) != 0 && FsErrno != kFsNoEntry && WaitWhileBusy()) {
  }
  return result;
}

static bool IsLink(uint32_t attrib) {
  return (attrib & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The one rule for deleting a file: its read-only bit is cleared first;
// when that fails the file may still go (it may not have been read-only),
// so the deletion decides, tried again while the file is busy.
static int UnlinkAnyFile(const char* path) {
  FsChmod(path, kFsWritable);
  return UnlinkWhenFree(path);
}

// Removes the link `path` itself (a junction or symbolic link), never what it
// points to. Returns 1, or 0 after a box.
static int RemoveLink(const char* path, uint32_t attrib) {
  if (attrib & kAttrDirectory) {
    if (RmdirWhenFree(path) == 0)
      return 1;
    ShowSystemError(kRemoveDirectoryFailed, path);
    return 0;
  }
  if (UnlinkAnyFile(path) == 0)
    return 1;
  ShowSystemError(kDeleteFileFailed, path);
  return 0;
}

// Called for each entry of `dir` but the dot names; false stops the walk.
typedef bool (*EntryVisitor)(const char* dir, const FindRecord& entry, const void* context);

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
static WalkResult WalkEntries(const char* dir, EntryVisitor visit, const void* context) {
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

static bool DeleteEntry(const char* dir, const FindRecord& entry, const void*) {
  char path[kTreePathSize];
  // The separator always goes in; PathJoin's rules are not wanted here.
  if (PathCopy(path, sizeof(path), dir) == NULL || PathAppend(path, sizeof(path), "\\") == NULL ||
      PathAppend(path, sizeof(path), entry.name) == NULL) {
    ShowSystemError(kRemoveDirectoryFailed, dir);
    return false;
  }
  if (IsLink(entry.attrib))
    return RemoveLink(path, entry.attrib) != 0;
  if (entry.attrib & kAttrDirectory)
    return DeleteTree(path) != 0;
  if (UnlinkAnyFile(path) != 0) {
    ShowSystemError(kDeleteFileFailed, path);
    return false;
  }
  return true;
}

// A removal begins: its patience for busy entries starts afresh, unless it
// is part of a removal already under way.
static void BeginRemoval() {
  if (RemovalDepth++ == 0)
    BusySince = false;
}
static void EndRemoval() {
  --RemovalDepth;
}

int RemoveFile(const char* path) {
  BeginRemoval();
  const int result = UnlinkAnyFile(path) == 0 ? 1 : 0;
  EndRemoval();
  return result;
}

int DeleteTree(const char* dir) {
  BeginRemoval();
  int result = 0;
  const WalkResult walk = WalkEntries(dir, DeleteEntry, NULL);
  if (walk == kWalkDone) {
    if (RmdirWhenFree(dir) == 0 || FsErrno == kFsNoEntry)
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
  EndRemoval();
  return result;
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
static int ClearForDirectory(const char* path) {
  const DWORD attributes = Platform.GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return 1;
  if (IsLink(attributes))
    return RemoveLink(path, attributes);
  return DeleteTree(path);
}

// Makes room in the destination for a file: clears and deletes an entry of
// that name. Returns 1, or 0 after a box naming the source.
static int ClearForFile(const char* path, const char* source) {
  if (FsAccess(path, 0) != 0 || UnlinkAnyFile(path) == 0)
    return 1;
  ShowSystemError(kMoveFileFailed, source);
  return 0;
}

// Moves one entry of `src` into the directory `context` points to.
static bool MoveOneEntry(const char* src, const FindRecord& entry, const void* context) {
  const char* dst = static_cast<const char*>(context);
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
    if (!ClearForDirectory(dstPath))
      return false;
    if (FsRename(srcPath, dstPath) == 0)
      return true;
    return MakeDirectoryLike(srcPath, dstPath) && MoveTree(srcPath, dstPath);
  }
  if (!ClearForFile(dstPath, srcPath))
    return false;
  // A link is moved like a file: the link itself, not what it points to.
  if (!MoveFileEntry(srcPath, dstPath)) {
    ShowSystemError(kMoveFileFailed, srcPath);
    return false;
  }
  return true;
}

int MoveTree(const char* src, const char* dst) {
  const WalkResult walk = WalkEntries(src, MoveOneEntry, dst);
  if (walk == kWalkUnlisted)
    ShowSystemError(kMoveFileFailed, src);
  if (walk != kWalkDone)
    return 0;
  if (FsRmdir(src) == 0)
    return 1;
  ShowSystemError(kRemoveDirectoryFailed, src);
  return 0;
}
