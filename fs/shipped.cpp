#include "fs/shipped.h"

#include <string.h>

#include "fs/file.h"
#include "ui/progress.h"

ShippedRecord Shipped = {NULL, 0};

static const uint8_t kMagic[4] = {'D', 'M', 'R', 'C'};
static const uint32_t kVersion = 1;
static const uint32_t kHeaderSize = 8;
// After the name: the size and the hash.
static const uint32_t kEntryTail = 4 + kSha256Size;

// Hashing reads the file in pieces of this size.
static const uint32_t kHashChunk = 1024 * 1024;

static uint32_t Get16(const uint8_t* bytes) {
  return bytes[0] | static_cast<uint32_t>(bytes[1]) << 8;
}

static uint32_t Get32(const uint8_t* bytes) {
  return Get16(bytes) | Get16(bytes + 2) << 16;
}

// Walks the record's entries: `at` is the offset of the next one (start with
// kHeaderSize). Fills `entry` and moves `at` on; false at the end or at an
// entry that does not fit the record or has an impossible field.
static bool NextEntry(const uint8_t* bytes, uint32_t size, uint32_t* at, ShippedEntry* entry) {
  if (*at + 2 > size)
    return false;
  const uint32_t kind = bytes[*at];
  const uint32_t length = bytes[*at + 1];
  if ((kind != kShippedVolume && kind != kShippedCompanion) || length == 0 ||
      size - *at - 2 < length + kEntryTail)
    return false;
  const uint8_t* name = bytes + *at + 2;
  entry->kind = static_cast<int>(kind);
  memcpy(entry->name, name, length);
  entry->name[length] = '\0';
  // A name with a separator or a terminator inside would name another file.
  if (strlen(entry->name) != length || strchr(entry->name, '\\') != NULL || strchr(entry->name, '/') != NULL)
    return false;
  entry->size = Get32(name + length);
  memcpy(entry->sha256, name + length + 4, kSha256Size);
  *at += 2 + length + kEntryTail;
  return true;
}

bool ShippedRecordValid(const uint8_t* bytes, uint32_t size) {
  if (bytes == NULL || size < kHeaderSize || memcmp(bytes, kMagic, sizeof(kMagic)) != 0 ||
      Get16(bytes + 4) != kVersion)
    return false;
  const uint32_t count = Get16(bytes + 6);
  uint32_t at = kHeaderSize;
  for (uint32_t i = 0; i < count; ++i) {
    ShippedEntry entry;
    if (!NextEntry(bytes, size, &at, &entry))
      return false;
    // A name recorded twice: which of the two would hold?
    uint32_t earlierAt = kHeaderSize;
    ShippedEntry earlier;
    for (uint32_t j = 0; j < i && NextEntry(bytes, size, &earlierAt, &earlier); ++j) {
      if (_stricmp(earlier.name, entry.name) == 0)
        return false;
    }
  }
  return at == size;
}

bool FindShipped(const ShippedRecord& record, int kind, const char* name, ShippedEntry* entry) {
  if (record.bytes == NULL || record.size < kHeaderSize)
    return false;
  const uint32_t count = Get16(record.bytes + 6);
  uint32_t at = kHeaderSize;
  for (uint32_t i = 0; i < count && NextEntry(record.bytes, record.size, &at, entry); ++i) {
    if (entry->kind == kind && _stricmp(entry->name, name) == 0)
      return true;
  }
  return false;
}

int CheckShippedFile(const char* path, const ShippedEntry& entry, int32_t* handle) {
  *handle = -1;
  int result = kShippedUnread;
  uint8_t* buffer = NULL;
  // Shared for reading only: while it is open no one can write, replace or
  // delete the file, so the bytes used later are the bytes checked now.
  const int32_t file = FsOpen(path, kFsBinary | kFsSequential, kFsDenyWrite, 0);
  if (file == -1)
    goto done;
  {
    const int32_t size = FsSize(file);
    if (size == -1)
      goto done;
    if (static_cast<uint32_t>(size) != entry.size) {
      result = kShippedDiffers;
      goto done;
    }
    buffer = static_cast<uint8_t*>(AllocBlock(kHashChunk));
    if (buffer == NULL)
      goto done;
    Sha256 hash;
    Sha256Start(&hash);
    uint32_t taken = 0;
    int32_t read = 0;
    // The dialog is served between chunks; a stop asked for meanwhile
    // leaves the file unread.
    while (KeepAlive() && (read = FsRead(file, buffer, kHashChunk)) > 0) {
      Sha256Take(&hash, buffer, static_cast<size_t>(read));
      taken += static_cast<uint32_t>(read);
    }
    // A read that fails, or a file whose reads end before its size: unread.
    if (StopRequested || read < 0 || taken != entry.size || FsSeek(file, 0, kFsFromStart) != 0)
      goto done;
    uint8_t digest[kSha256Size];
    Sha256End(&hash, digest);
    result = memcmp(digest, entry.sha256, kSha256Size) == 0 ? kShippedMatches : kShippedDiffers;
  }
done:
  FreeBlock(buffer);
  if (result == kShippedMatches)
    *handle = file;
  else if (file != -1)
    FsClose(file);
  return result;
}
