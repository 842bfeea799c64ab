#include "fs/find.h"

#include <string.h>

#include "fs/file.h"
#include "platform/platform.h"

// Search failures set only FsErrno; FsOsErrno keeps what it held.
static void RecordSearchError() {
  switch (Platform.GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_NO_MORE_FILES:
      FsErrno = kFsNoEntry;
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
      FsErrno = kFsNoMemory;
      break;
    default:
      FsErrno = kFsInvalid;
      break;
  }
}

static void FillRecord(const WIN32_FIND_DATAA& data, FindRecord* record) {
  record->attrib = data.dwFileAttributes == FILE_ATTRIBUTE_NORMAL ? 0 : data.dwFileAttributes;
  record->size = data.nFileSizeLow;
  // cFileName has the same size as the record's name.
  memcpy(record->name, data.cFileName, sizeof(record->name));
  record->name[sizeof(record->name) - 1] = '\0';
}

static HANDLE ToSearch(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

intptr_t FsFindFirst(const char* pattern, FindRecord* record) {
  WIN32_FIND_DATAA data;
  HANDLE search = Platform.FindFirstFileA(pattern, &data);
  if (search == INVALID_HANDLE_VALUE) {
    RecordSearchError();
    return -1;
  }
  FillRecord(data, record);
  return reinterpret_cast<intptr_t>(search);
}

int FsFindNext(intptr_t handle, FindRecord* record) {
  WIN32_FIND_DATAA data;
  if (!Platform.FindNextFileA(ToSearch(handle), &data)) {
    RecordSearchError();
    return -1;
  }
  FillRecord(data, record);
  return 0;
}

int FsFindClose(intptr_t handle) {
  if (!Platform.FindClose(ToSearch(handle))) {
    FsErrno = kFsInvalid;
    return -1;
  }
  return 0;
}

bool FsAttrMatches(uint32_t mask, uint32_t attrib) {
  if (mask & kAttrSystem)
    mask |= kAttrHidden;
  const uint32_t excluding = kAttrDirectory | kAttrSystem | kAttrHidden;
  return (attrib & excluding & ~mask) == 0;
}

// The platform reports the end of a listing as "no such file"; the search
// layer reports it as kFsEndOfListing.
static int EndOfListing() {
  if (FsErrno == kFsNoEntry)
    FsErrno = kFsEndOfListing;
  return -1;
}

int FsFindFirstMatching(const char* pattern, FindBlock* block, uint32_t mask) {
  block->mask = mask;
  block->handle = FsFindFirst(pattern, &block->record);
  if (block->handle == -1)
    return EndOfListing();
  if (FsAttrMatches(mask, block->record.attrib) || FsFindNextMatching(block) == 0)
    return 0;
  FsFindClose(block->handle);
  block->handle = -1;
  return -1;
}

int FsFindNextMatching(FindBlock* block) {
  do {
    if (FsFindNext(block->handle, &block->record) != 0)
      return EndOfListing();
  } while (!FsAttrMatches(block->mask, block->record.attrib));
  return 0;
}

int FsFindEnd(FindBlock* block) {
  if (block->handle == -1)
    return 0;
  const uint32_t savedErrno = FsErrno;
  const int result = FsFindClose(block->handle);
  FsErrno = savedErrno;
  return result;
}
