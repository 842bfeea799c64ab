// File, directory and memory primitives in the manner of a C library's
// low-level I/O.
//
// How results are told, here and in every layer above:
// - The primitives (Fs*) return a handle, a count, 0 on success, or -1. The
//   tree operations (fs/tree.h) return 1 for success and 0 for failure, as
//   do the prompts' true and false; LoadLibraryEntries adds -1 for "not
//   there at all" to its 1 and 0. A result a caller does not look at is
//   said to be "ignored" where it is made.
// - A failure is recorded where it happens, once, in two channels:
//   FsOsErrno holds the operating system's code (0 when this layer itself
//   found the fault) and FsErrno the C library's number it maps to
//   (FsSetOsError). Callers decide on FsErrno ("already exists", "no such
//   file"). The platform's own last error is a separate channel: message
//   boxes read it for the system's explanation, so code that must call the
//   platform between a failure and its box saves and restores it.
// - A success leaves both channels as they were.

#ifndef INSTALLER_FS_FILE_H_
#define INSTALLER_FS_FILE_H_

#include <fcntl.h>
#include <share.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

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

// The cabinet library hands its C runtime's values to the callbacks, which
// pass them on unchanged: they must stay equal.
static_assert(kFsWriteOnly == _O_WRONLY && kFsReadWrite == _O_RDWR && kFsRandom == _O_RANDOM &&
                  kFsSequential == _O_SEQUENTIAL && kFsTemporary == _O_TEMPORARY &&
                  kFsNoInherit == _O_NOINHERIT && kFsCreate == _O_CREAT && kFsTruncate == _O_TRUNC &&
                  kFsExclusive == _O_EXCL && kFsShortLived == _O_SHORT_LIVED && kFsBinary == _O_BINARY,
              "open flags are the C runtime's");
static_assert(kFsDenyReadWrite == _SH_DENYRW && kFsDenyWrite == _SH_DENYWR && kFsDenyRead == _SH_DENYRD &&
                  kFsDenyNone == _SH_DENYNO,
              "share modes are the C runtime's");
static_assert(kFsReadable == _S_IREAD && kFsWritable == _S_IWRITE, "permission bits are the C runtime's");

// Origins of FsSeek, as the platform (and the cabinet library) number them.
enum {
  kFsFromStart = 0,
  kFsFromCurrent = 1,
  kFsFromEnd = 2,
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
  kFsCrossDevice = 18,
  kFsEndOfListing = kFsCrossDevice,  // The directory search's "no more entries".
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

// The C library's number of the last failure (see the top of this file).
extern uint32_t FsErrno;

// The operating system's code of the last failure; 0 when this layer found
// the fault itself.
extern uint32_t FsOsErrno;

// Opens or creates `path`. Returns the handle (a 32-bit value, as the platform
// guarantees for file handles), or -1. The handle is never inherited by a
// child process, whatever `openFlags` say.
int32_t FsOpen(const char* path, int openFlags, int shareMode, int permissionMode);

// Returns the bytes read, 0 at the end of the data (or of a closed pipe), or -1.
int32_t FsRead(int32_t handle, void* buffer, uint32_t count);

// Returns the bytes written (possibly fewer than asked), or -1.
int32_t FsWrite(int32_t handle, const void* buffer, uint32_t count);

// Moves to `offset` from `origin` (kFsFromStart, kFsFromCurrent, kFsFromEnd).
// Returns the low 32 bits of the new position, or -1.
int32_t FsSeek(int32_t handle, int32_t offset, int origin);

// Returns the file's size, or -1; also, with FsErrno kFsTooBig, for a file
// of 2 GiB or more, whose size the layer's signed 32-bit counts cannot hold
// (its low 32 bits would pass for a smaller file).
int32_t FsSize(int32_t handle);

// Closes `handle`. Returns 0, or -1 (the handle is gone all the same).
int FsClose(int32_t handle);

// Sets the creation and last-write times of the open file `handle`; the
// last-access time stays. Returns 0 or -1.
int FsSetTimes(int32_t handle, const FILETIME* creation, const FILETIME* lastWrite);

// 0 when `path` exists and, if `mode` has bit 2, is not read-only; else -1
// (FsErrno 13, FsOsErrno 0, for a read-only path asked to be writable).
int FsAccess(const char* path, int mode);

// Clears the read-only attribute when `mode` has kFsWritable, else sets it;
// every other attribute stays. 0 or -1.
int FsChmod(const char* path, int mode);

// Deletes the file `path`; removes the empty directory `path`; makes the
// directory `path` (with `security`, or the parent's inherited permissions
// when null). Each returns 0, or -1; making one that exists fails with
// kFsExists, removing one that is missing with kFsNoEntry.
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
