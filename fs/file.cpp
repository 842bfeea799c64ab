#include "fs/file.h"

#include <windows.h>

#include "platform/platform.h"

uint32_t FsErrno = 0;
uint32_t FsOsErrno = 0;

struct OsErrorMapping {
  uint32_t osCode;
  uint32_t number;
};

static const OsErrorMapping kOsErrorMap[] = {
    {1, 22},   {2, 2},    {3, 2},     {4, 24},   {5, 13},   {6, 9},    {7, 12},
    {8, 12},   {9, 12},   {10, 7},    {11, 8},   {12, 22},  {13, 22},  {15, 2},
    {16, 13},  {17, 18},  {18, 2},    {33, 13},  {53, 2},   {65, 13},  {67, 2},
    {80, 17},  {82, 13},  {83, 13},   {87, 22},  {89, 11},  {108, 13}, {109, 32},
    {112, 28}, {114, 9},  {128, 10},  {129, 10}, {130, 9},  {131, 22}, {132, 13},
    {145, 41}, {158, 13}, {161, 2},   {164, 11}, {167, 13}, {183, 17}, {206, kFsNameTooLong},
    {215, 11}, {1816, 12},
};

void FsSetOsError(uint32_t osCode) {
  FsOsErrno = osCode;
  for (size_t i = 0; i < sizeof(kOsErrorMap) / sizeof(kOsErrorMap[0]); ++i) {
    if (kOsErrorMap[i].osCode == osCode) {
      FsErrno = kOsErrorMap[i].number;
      return;
    }
  }
  // Codes of the sharing and locking family deny access; those of the
  // executable-image family are a bad format.
  if (osCode >= 19 && osCode <= 36)
    FsErrno = kFsAccess;
  else if (osCode >= 188 && osCode <= 202)
    FsErrno = kFsBadFormat;
  else
    FsErrno = kFsInvalid;
}

void FsSetError(uint32_t number) {
  FsErrno = number;
  FsOsErrno = 0;
}

static void RecordLastError() {
  FsSetOsError(Platform.GetLastError());
}

// Runs a platform call's BOOL result through the error state.
static int Checked(BOOL succeeded) {
  if (!succeeded) {
    RecordLastError();
    return -1;
  }
  return 0;
}

// File handles are 32-bit values on every width of the platform, so they
// travel as signed 32-bit integers with -1 for none.
static HANDLE ToHandle(int32_t handle) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
}

static int32_t FromHandle(HANDLE handle) {
  return static_cast<int32_t>(reinterpret_cast<intptr_t>(handle));
}

static DWORD DispositionFor(int openFlags) {
  switch (openFlags & (kFsCreate | kFsTruncate | kFsExclusive)) {
    case kFsCreate:
      return OPEN_ALWAYS;
    case kFsTruncate:
    case kFsTruncate | kFsExclusive:
      return TRUNCATE_EXISTING;
    case kFsCreate | kFsTruncate:
      return CREATE_ALWAYS;
    case kFsCreate | kFsExclusive:
    case kFsCreate | kFsTruncate | kFsExclusive:
      return CREATE_NEW;
    default:  // Nothing, or exclusive alone.
      return OPEN_EXISTING;
  }
}

// The platform's access rights for the low two bits of `openFlags`; false
// for the invalid value 3.
static bool AccessFor(int openFlags, DWORD* access) {
  switch (openFlags & 3) {
    case 0: *access = GENERIC_READ; return true;
    case kFsWriteOnly: *access = GENERIC_WRITE; return true;
    case kFsReadWrite: *access = GENERIC_READ | GENERIC_WRITE; return true;
    default: return false;
  }
}

// The platform's sharing for `shareMode`; false for a value that is none.
static bool ShareFor(int shareMode, DWORD* share) {
  switch (shareMode) {
    case kFsDenyReadWrite: *share = 0; return true;
    case kFsDenyWrite: *share = FILE_SHARE_READ; return true;
    case kFsDenyRead: *share = FILE_SHARE_WRITE; return true;
    case kFsDenyNone: *share = FILE_SHARE_READ | FILE_SHARE_WRITE; return true;
    default: return false;
  }
}

// The platform's attributes and flags for a file opened with `openFlags`
// and, when created, `permissionMode`.
static DWORD AttributesFor(int openFlags, int permissionMode) {
  DWORD attributes = FILE_ATTRIBUTE_NORMAL;
  if ((openFlags & kFsCreate) && !(permissionMode & kFsWritable))
    attributes = FILE_ATTRIBUTE_READONLY;
  if (openFlags & kFsTemporary)
    attributes |= FILE_FLAG_DELETE_ON_CLOSE;
  if (openFlags & kFsShortLived)
    attributes |= FILE_ATTRIBUTE_TEMPORARY;
  if (openFlags & kFsSequential)
    attributes |= FILE_FLAG_SEQUENTIAL_SCAN;
  else if (openFlags & kFsRandom)
    attributes |= FILE_FLAG_RANDOM_ACCESS;
  return attributes;
}

int32_t FsOpen(const char* path, int openFlags, int shareMode, int permissionMode) {
  DWORD access;
  DWORD share;
  if (!AccessFor(openFlags, &access) || !ShareFor(shareMode, &share)) {
    FsSetError(kFsInvalid);
    return -1;
  }
  // A file deleted on its last close must be opened with the right to
  // delete it.
  if (openFlags & kFsTemporary)
    access |= DELETE;
  // No security attributes: the handle is not inheritable, so that a child
  // process (the second stage) never holds one of the installer's files.
  HANDLE file = Platform.CreateFileA(path, access, share, NULL, DispositionFor(openFlags),
                                     AttributesFor(openFlags, permissionMode), NULL);
  if (file == INVALID_HANDLE_VALUE) {
    RecordLastError();
    return -1;
  }
  if (Platform.GetFileType(file) == FILE_TYPE_UNKNOWN) {
    const DWORD code = Platform.GetLastError();
    Platform.CloseHandle(file);
    FsSetOsError(code);
    return -1;
  }
  return FromHandle(file);
}

int32_t FsRead(int32_t handle, void* buffer, uint32_t count) {
  DWORD done = 0;
  if (Platform.ReadFile(ToHandle(handle), buffer, count, &done, NULL))
    return static_cast<int32_t>(done);
  const DWORD code = Platform.GetLastError();
  if (code == ERROR_ACCESS_DENIED) {
    // Reading from a handle opened for writing only: a bad handle for reading.
    FsErrno = kFsBadHandle;
    FsOsErrno = ERROR_ACCESS_DENIED;
    return -1;
  }
  if (code == ERROR_BROKEN_PIPE)
    return 0;  // The writing end has gone: that is the end of the data.
  FsSetOsError(code);
  return -1;
}

int32_t FsWrite(int32_t handle, const void* buffer, uint32_t count) {
  DWORD done = 0;
  if (Platform.WriteFile(ToHandle(handle), buffer, count, &done, NULL))
    return static_cast<int32_t>(done);
  if (done != 0)
    return static_cast<int32_t>(done);
  const DWORD code = Platform.GetLastError();
  if (code == 0) {
    FsSetError(kFsNoSpace);  // A failure without a reason is taken as a full disk.
  } else if (code == ERROR_ACCESS_DENIED) {
    FsErrno = kFsBadHandle;
    FsOsErrno = ERROR_ACCESS_DENIED;
  } else {
    FsSetOsError(code);
  }
  return -1;
}

int32_t FsSeek(int32_t handle, int32_t offset, int origin) {
  const DWORD position =
      Platform.SetFilePointer(ToHandle(handle), offset, NULL, static_cast<DWORD>(origin));
  if (position == INVALID_SET_FILE_POINTER) {
    RecordLastError();
    return -1;
  }
  return static_cast<int32_t>(position);
}

int FsSetTimes(int32_t handle, const FILETIME* creation, const FILETIME* lastWrite) {
  return Checked(Platform.SetFileTime(ToHandle(handle), creation, NULL, lastWrite));
}

int32_t FsSize(int32_t handle) {
  DWORD high = 0;
  const DWORD size = Platform.GetFileSize(ToHandle(handle), &high);
  // All ones is a failure, or the low part of a size too big all the same.
  if (size == INVALID_FILE_SIZE) {
    RecordLastError();
    return -1;
  }
  if (high != 0 || size > INT32_MAX) {
    FsSetError(kFsTooBig);
    return -1;
  }
  return static_cast<int32_t>(size);
}

int FsClose(int32_t handle) {
  return Checked(Platform.CloseHandle(ToHandle(handle)));
}

int FsAccess(const char* path, int mode) {
  const DWORD attributes = Platform.GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    RecordLastError();
    return -1;
  }
  if ((attributes & FILE_ATTRIBUTE_READONLY) && (mode & 2)) {
    FsSetError(kFsAccess);
    return -1;
  }
  return 0;
}

int FsChmod(const char* path, int mode) {
  DWORD attributes = Platform.GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    RecordLastError();
    return -1;
  }
  if (mode & kFsWritable)
    attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  else
    attributes |= FILE_ATTRIBUTE_READONLY;
  return Checked(Platform.SetFileAttributesA(path, attributes));
}

int FsUnlink(const char* path) {
  return Checked(Platform.DeleteFileA(path));
}

int FsRmdir(const char* path) {
  return Checked(Platform.RemoveDirectoryA(path));
}

int FsMkdir(const char* path, SECURITY_ATTRIBUTES* security) {
  return Checked(Platform.CreateDirectoryA(path, security));
}

int FsRename(const char* from, const char* to) {
  return Checked(Platform.MoveFileA(from, to));
}

void* AllocBlock(size_t size) {
  return Platform.LocalAlloc(LMEM_FIXED, size);
}

void FreeBlock(void* block) {
  if (block != NULL)
    Platform.LocalFree(block);
}
