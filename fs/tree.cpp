#include "fs/tree.h"

#include <windows.h>

#include "app/messages.h"
#include "fs/file.h"
#include "fs/find.h"
#include "fs/path.h"
#include "platform/platform.h"

// Each level of a walk has its own buffers of this size.
static const size_t kTreePathSize = 264;

// Every entry, hidden and system ones included: the trees removed here are
// the installer's own, and restored archive attributes make hidden files.
static const uint32_t kAllEntries = kAttrReadOnly | kAttrHidden | kAttrSystem |
                                    kAttrDirectory | kAttrArchive;

// `dir` followed by "\\*.*" into `pattern`; false when it does not fit.
static bool MakePattern(char* pattern, const char* dir) {
  return PathCopy(pattern, kTreePathSize, dir) != NULL &&
         PathAppend(pattern, kTreePathSize, "\\*.*") != NULL;
}

static bool IsLink(uint32_t attrib) {
  return (attrib & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Removes the link `path` itself (a junction or symbolic link), never what it
// points to. Returns 1, or 0 after a box.
static int RemoveLink(const char* path, uint32_t attrib) {
  if (attrib & kAttrDirectory) {
    if (FsRmdir(path) == 0)
      return 1;
    ShowSystemError(kRemoveDirectoryFailed, path);
    return 0;
  }
  if (FsChmod(path, kFsWritable) == 0 && FsUnlink(path) == 0)
    return 1;
  ShowSystemError(kDeleteFileFailed, path);
  return 0;
}

int DeleteTree(const char* dir) {
  char path[kTreePathSize];
  FindBlock block;
  bool stopped = false;

  if (!MakePattern(path, dir)) {
    ShowSystemError(kRemoveDirectoryFailed, dir);
    return 0;
  }
  for (int found = FsFindFirstMatching(path, &block, kAllEntries); found == 0;
       found = FsFindNextMatching(&block)) {
    const FindRecord& entry = block.record;
    if (IsDotsName(entry.name))
      continue;
    // The separator always goes in; PathJoin's rules are not wanted here.
    if (PathCopy(path, sizeof(path), dir) == NULL || PathAppend(path, sizeof(path), "\\") == NULL ||
        PathAppend(path, sizeof(path), entry.name) == NULL) {
      ShowSystemError(kRemoveDirectoryFailed, dir);
      stopped = true;
    } else if (IsLink(entry.attrib)) {
      stopped = !RemoveLink(path, entry.attrib);
    } else if (entry.attrib & kAttrDirectory) {
      stopped = !DeleteTree(path);
    } else if (FsChmod(path, kFsWritable) != 0) {
      stopped = true;  // Nothing to tell: the unlink would fail the same way.
    } else if (FsUnlink(path) != 0) {
      ShowSystemError(kDeleteFileFailed, path);
      stopped = true;
    }
    if (stopped)
      break;
  }
  FsFindEnd(&block);
  if (stopped)
    return 0;
  if (FsRmdir(dir) == 0 || FsErrno == kFsNoEntry)
    return 1;
  ShowSystemError(kRemoveDirectoryFailed, dir);
  return 0;
}

int MoveEntry(const char* src, const char* dst, bool isDir) {
  DWORD attributes = Platform.GetFileAttributesA(src);
  if (attributes == INVALID_FILE_ATTRIBUTES)
    attributes = 0;
  const int moved = isDir ? FsMkdir(dst) : FsRename(src, dst);
  if (moved != 0)
    return 0;
  Platform.SetFileAttributesA(dst, attributes);
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
  if (FsAccess(path, 0) != 0)
    return 1;
  if (FsChmod(path, kFsWritable) == 0 && FsUnlink(path) == 0)
    return 1;
  ShowSystemError(kMoveFileFailed, source);
  return 0;
}

int MoveTree(const char* dst, const char* src) {
  char srcPath[kTreePathSize];
  char dstPath[kTreePathSize];
  FindBlock block;
  bool stopped = false;

  if (!MakePattern(srcPath, src)) {
    ShowSystemError(kMoveFileFailed, src);
    return 0;
  }
  for (int found = FsFindFirstMatching(srcPath, &block, kAllEntries); found == 0;
       found = FsFindNextMatching(&block)) {
    const FindRecord& entry = block.record;
    if (IsDotsName(entry.name))
      continue;
    if (PathCopy(srcPath, sizeof(srcPath), src) == NULL ||
        PathJoin(srcPath, sizeof(srcPath), entry.name) == NULL ||
        PathCopy(dstPath, sizeof(dstPath), dst) == NULL ||
        PathJoin(dstPath, sizeof(dstPath), entry.name) == NULL) {
      ShowSystemError(kMoveFileFailed, src);
      stopped = true;
    } else if ((entry.attrib & kAttrDirectory) && !IsLink(entry.attrib)) {
      // A directory is made anew with the source's attributes and filled
      // level by level, so an existing one of that name is replaced whole.
      stopped = !ClearForDirectory(dstPath) || !MoveEntry(srcPath, dstPath, true) ||
                !MoveTree(dstPath, srcPath);
    } else if (!ClearForFile(dstPath, srcPath)) {
      stopped = true;
    } else if (!MoveEntry(srcPath, dstPath, false)) {
      // A link is moved like a file: the link itself, not what it points to.
      ShowSystemError(kMoveFileFailed, srcPath);
      stopped = true;
    }
    if (stopped)
      break;
  }
  FsFindEnd(&block);
  if (stopped)
    return 0;
  if (FsRmdir(src) == 0)
    return 1;
  ShowSystemError(kRemoveDirectoryFailed, src);
  return 0;
}
