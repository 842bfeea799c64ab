#include "fs/copy.h"

#include <stddef.h>

#include "fs/file.h"
#include "ui/progress.h"

static const int32_t kChunkSize = 0x8000;
// When a full chunk's buffer cannot be had, the chunk shrinks by this much.
static const int32_t kChunkBackOff = 0x400;

// Source of CopyWholeFile: read only, existing, binary.
static const int kOpenSource = kFsBinary;
// Destinations: read-write, created when missing, never truncated, binary.
static const int kOpenDestination = kFsBinary | kFsCreate | kFsReadWrite;

int CopyData(int32_t dst, int32_t dstOffset, int32_t src, int32_t srcOffset, int32_t length) {
  int32_t chunk = length < kChunkSize ? length : kChunkSize;
  void* buffer = NULL;
  if (length != 0) {
    if (chunk < 1)
      return -1;
    while ((buffer = AllocBlock(static_cast<size_t>(chunk))) == NULL) {
      chunk -= kChunkBackOff;
      if (chunk < 1)
        return -1;
    }
  }

  const bool positionDestination = dstOffset >= 0;
  bool ok;
  do {
    ok = FsSeek(src, srcOffset, kFsFromStart) == srcOffset &&
         FsRead(src, buffer, static_cast<uint32_t>(chunk)) == chunk &&
         (!positionDestination || FsSeek(dst, dstOffset, kFsFromStart) == dstOffset) &&
         FsWrite(dst, buffer, static_cast<uint32_t>(chunk)) == chunk;
    if (!ok)
      break;
    length -= chunk;
    srcOffset += chunk;
    dstOffset += chunk;
    ok = ProgressAdvance(static_cast<uint32_t>(chunk));
    if (!ok)
      break;
    if (length < chunk)
      chunk = length;
  } while (length > 0);

  FreeBlock(buffer);
  return ok ? 0 : -1;
}

int CopyWholeFile(const char* srcPath, const char* dstPath) {
  const int32_t source = FsOpen(srcPath, kOpenSource, kFsDenyNone, kFsReadable);
  if (source == -1)
    return -1;
  const int32_t destination = FsOpen(dstPath, kOpenDestination, kFsDenyNone,
                                     kFsReadable | kFsWritable);
  if (destination == -1) {
    FsClose(source);
    return -1;
  }
  const int32_t size = FsSize(source);
  // The stage starts before the size is judged: an empty source gets one too.
  ProgressStage(static_cast<uint32_t>(size));
  int result = -1;
  if (size > 0)
    result = CopyData(destination, 0, source, 0, size);
  const int closedDestination = FsClose(destination);
  const int closedSource = FsClose(source);
  return result == 0 && closedDestination == 0 && closedSource == 0 ? 0 : -1;
}

// A block is written in pieces of this size, the bar moving and the dialog
// served after each: a piece takes milliseconds even on a slow disk, where
// the whole block could take seconds.
static const uint32_t kBlockPiece = 0x40000;

int WriteBlockToFile(const void* data, uint32_t size, const char* path) {
  if (data == NULL || size == 0)
    return -1;
  ProgressStage(size);
  const int32_t file = FsOpen(path, kOpenDestination, kFsDenyNone, kFsReadable | kFsWritable);
  if (file == -1)
    return -1;
  // A new handle writes from the start of the file.
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  bool written = true;
  for (uint32_t done = 0; written && done < size;) {
    const uint32_t piece = size - done < kBlockPiece ? size - done : kBlockPiece;
    written = FsWrite(file, bytes + done, piece) == static_cast<int32_t>(piece);
    done += piece;
    written = written && ProgressAdvance(piece);
  }
  return FsClose(file) == 0 && written ? 0 : -1;
}
