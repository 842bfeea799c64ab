// Directory search in the manner of a DOS search: a wildcard pattern, entries
// one by one, filtered by an attribute mask so that directories, hidden and
// system entries are seen only when asked for.

#ifndef INSTALLER_FS_FIND_H_
#define INSTALLER_FS_FIND_H_

#include <stdint.h>
#include <windows.h>

// Attribute bits of masks and records.
enum {
  kAttrReadOnly = 0x01,
  kAttrHidden = 0x02,
  kAttrSystem = 0x04,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
};

struct FindRecord {
  uint32_t attrib;  // As the platform reports them; plain "normal" (0x80) is 0.
  uint32_t size;  // Low 32 bits.
  char name[MAX_PATH];
};

struct FindBlock {
  intptr_t handle;  // The platform's search handle; -1 when there is none.
  uint32_t mask;
  FindRecord record;
};

// Starts a search. Returns the search handle, or -1 with FsErrno set (2 for a
// missing entry or directory, 12 out of memory, 22 otherwise) and FsOsErrno
// untouched.
intptr_t FsFindFirst(const char* pattern, FindRecord* record);

// The next entry into `record`: 0, or -1 with FsErrno as for FsFindFirst.
int FsFindNext(intptr_t handle, FindRecord* record);

// 0, or -1 with FsErrno 22.
int FsFindClose(intptr_t handle);

// True when an entry with `attrib` is wanted by `mask`. The system bit in the
// mask admits hidden entries too; read-only and archive never exclude.
bool FsAttrMatches(uint32_t mask, uint32_t attrib);

// The first entry matching `mask` into block->record: 0, or -1 with FsErrno
// kFsEndOfListing for an empty listing or a missing directory (any other
// number is a listing that failed). On -1 no search stays open.
int FsFindFirstMatching(const char* pattern, FindBlock* block, uint32_t mask);

// The next matching entry: 0, or -1 with FsErrno kFsEndOfListing at the end.
int FsFindNextMatching(FindBlock* block);

// Ends the search, keeping FsErrno as it was. 0, or -1 when closing failed.
int FsFindEnd(FindBlock* block);

#endif  // INSTALLER_FS_FIND_H_
