// What the vendor shipped beside the installer: the record the installer's
// signed image carries of every further volume and every companion file, by
// name, size and SHA-256, and the check of a file against it.
//
// The record's format (resource RT_RCDATA kShippedResourceId, written by the
// vendor's tool; all numbers little-endian):
//   "DMRC", version (u16, 1), entry count (u16), then each entry:
//   kind (u8: 1 a further volume, 2 a companion file), name length (u8,
//   1 to 255), the name (ANSI, no separator, no terminator), size (u32),
//   SHA-256 (32 bytes). Nothing follows the last entry, and no name is
//   recorded twice.

#ifndef INSTALLER_FS_SHIPPED_H_
#define INSTALLER_FS_SHIPPED_H_

#include <stdint.h>

#include "fs/sha256.h"

static const int kShippedResourceId = 45515;

enum ShippedKind {
  kShippedVolume = 1,
  kShippedCompanion = 2,
};

struct ShippedEntry {
  int kind;
  char name[256];
  uint32_t size;
  uint8_t sha256[kSha256Size];
};

// The record in force for the run: `bytes` null when the installer carries
// none (a build from before the record), in which case nothing beside the
// installer is checked.
struct ShippedRecord {
  const uint8_t* bytes;
  uint32_t size;
};
extern ShippedRecord Shipped;

// True when `bytes` (`size` of them) is a well-formed record of a version
// this installer reads.
bool ShippedRecordValid(const uint8_t* bytes, uint32_t size);

// Looks `name` up (case-insensitively, as the platform names files) among the
// record's entries of `kind`. True with `entry` filled when it is there.
bool FindShipped(const ShippedRecord& record, int kind, const char* name, ShippedEntry* entry);

// How a file compared with its entry.
enum ShippedCheck {
  kShippedMatches = 1,   // Same size, same hash; the file stays open (below).
  kShippedDiffers = 0,   // Another size or another hash.
  kShippedUnread = -1,   // Missing, a directory, or not readable.
};

// Opens `path` for reading with writers shut out, and compares its size and
// SHA-256 with `entry`. On kShippedMatches `*handle` is the open file, at its
// start: as long as it stays open nobody can change, replace or delete the
// bytes that were checked. Otherwise `*handle` is -1 and nothing stays open.
int CheckShippedFile(const char* path, const ShippedEntry& entry, int32_t* handle);

#endif  // INSTALLER_FS_SHIPPED_H_
