// Writing file content with progress. Nothing here is shown to the user:
// each reports 0 or -1 (with the error codes of the failing primitive, or
// none for a short transfer or a rejected argument) and the caller decides.

#ifndef INSTALLER_FS_COPY_H_
#define INSTALLER_FS_COPY_H_

#include <stdint.h>

// Copies `length` bytes from `src` at `srcOffset` to `dst` at `dstOffset` (at
// its current position when `dstOffset` is negative) in chunks of at most
// 32,768 bytes, advancing the progress bar after each. A short read or write
// fails, and so does a stop the user asked for (after the chunk under way).
// Returns 0 or -1.
int CopyData(int32_t dst, int32_t dstOffset, int32_t src, int32_t srcOffset, int32_t length);

// Copies the file `srcPath` to `dstPath` as one progress stage, from the
// destination's start (an existing destination is never truncated). An
// empty source fails. Returns 0 or -1.
int CopyWholeFile(const char* srcPath, const char* dstPath);

// Writes `size` bytes at `data` to `path` as one progress stage, in pieces of
// 256 KiB, advancing the bar after each; a stop the user asked for ends it
// after the piece under way. Returns 0, or -1 (also for a null block or a
// size of 0, without touching any file).
int WriteBlockToFile(const void* data, uint32_t size, const char* path);

#endif  // INSTALLER_FS_COPY_H_
