// File, directory and memory primitives in the manner of a C library's
// low-level I/O. Each returns a handle, a count, 0 or -1; on failure it
// records the operating system's code in FsOsErrno and a C-library error
// number in FsErrno. A success leaves both untouched.

#ifndef INSTALLER_FS_FILE_H_
#define INSTALLER_FS_FILE_H_

#include <stddef.h>
#include <stdint.h>

#include <windows.h>

// Open flags: the low two bits are the access (0 read, 1 write, 2 both).
enum {
  kFsWriteOnly = 0x1,
  kFsReadWrite = 0x2,
  kFsRandom = 0x10,
  kFsSequential = 0x20,
  kFsTemporary = 0x40,  // Deleted when its last handle closes.
  kFsNoInherit = 0x80,  // No effect: no handle of the layer is ever inherited.
  kFsCreate = 0x100,
  kFsTruncate = 0x200,
  kFsExclusive = 0x400,
  kFsShortLived = 0x1000,
  kFsBinary = 0x8000,  // No effect: line ends are never translated.
};

// Share modes (one value, not bits).
enum {
  kFsDenyReadWrite = 0x10,
  kFsDenyWrite = 0x20,
  kFsDenyRead = 0x30,
  kFsDenyNone = 0x40,
};

// Permission bits.
enum {
  kFsReadable = 0x100,
  kFsWritable = 0x80,
};

// Error numbers recorded in FsErrno.
enum {
  kFsNoEntry = 2,
  kFsTooLong = 7,
  kFsBadFormat = 8,
  kFsBadHandle = 9,
  kFsNoChild = 10,
  kFsTryAgain = 11,
  kFsNoMemory = 12,
  kFsAccess = 13,
  kFsExists = 17,
  kFsCrossDevice = 18,  // Also: no more entries in a directory listing.
  kFsInvalid = 22,
  kFsTooManyFiles = 24,
  kFsTooBig = 27,  // A file larger than the layer's signed 32-bit sizes.
  kFsNoSpace = 28,
  kFsBrokenPipe = 32,
  // A path too long for its buffer or the platform (the C library's
  // ENAMETOOLONG); distinct from "no such file", which callers act upon.
  kFsNameTooLong = 38,
  kFsNotEmpty = 41,
};

extern uint32_t FsErrno;

// Set by every successful FsOpen: true when the file did not exist before
// (a new file has only the archive attribute), false when it was opened.
extern bool FsOpenMadeFile;
extern uint32_t FsOsErrno;

// Opens or creates `path`. Returns the handle (a 32-bit value, as the platform
// guarantees for file handles), or -1. The handle is never inherited by a
// child process, whatever `openFlags` say.
int32_t FsOpen(const char* path, int openFlags, int shareMode, int permissionMode);

// Returns the bytes read, 0 at the end of the data (or of a closed pipe), or -1.
int32_t FsRead(int32_t handle, void* buffer, uint32_t count);

// Returns the bytes written (possibly fewer than asked), or -1.
int32_t FsWrite(int32_t handle, const void* buffer, uint32_t count);

// Moves to `offset` from the start (0), the current position (1) or the end
// (2). Returns the low 32 bits of the new position, or -1.
int32_t FsSeek(int32_t handle, int32_t offset, int origin);

// Returns the file's size, or -1; also, with FsErrno kFsTooBig, for a file
// of 2 GiB or more, whose size the layer's signed 32-bit counts cannot hold
// (its low 32 bits would pass for a smaller file).
int32_t FsSize(int32_t handle);

int FsClose(int32_t handle);

// Sets the creation and last-write times of the open file `handle`; the
// last-access time stays. Returns 0 or -1.
int FsSetTimes(int32_t handle, const FILETIME* creation, const FILETIME* lastWrite);

// 0 when `path` exists and, if `mode` has bit 2, is not read-only; else -1
// (both codes 13 for a read-only path asked to be writable).
int FsAccess(const char* path, int mode);

// Clears the read-only attribute when `mode` has kFsWritable, else sets it;
// every other attribute stays. 0 or -1.
int FsChmod(const char* path, int mode);

int FsUnlink(const char* path);
int FsRmdir(const char* path);
int FsMkdir(const char* path, SECURITY_ATTRIBUTES* security = NULL);

// Moves a file or directory within one volume; fails when `to` exists.
int FsRename(const char* from, const char* to);

// Records `osCode` and the error number it maps to.
void FsSetOsError(uint32_t osCode);

// Records an error found by this layer itself: FsErrno `number`, FsOsErrno 0.
void FsSetError(uint32_t number);

// A fixed block of `size` bytes, or NULL. FreeBlock accepts NULL.
void* AllocBlock(size_t size);
void FreeBlock(void* block);

#endif  // INSTALLER_FS_FILE_H_
