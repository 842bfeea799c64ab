#include "cabinet/volumes.h"

#include <string.h>

#include "cabinet/extract.h"
#include "fs/file.h"
#include "fs/path.h"
#include "fs/shipped.h"
#include "ui/messages.h"
#include "ui/progress.h"

// The volumes held open since their check. The library reads at most the
// volume of its pass and the one a file runs on into; the oldest of more is
// let go.
static const int kHeldVolumes = 4;
struct HeldVolume {
  int32_t handle;
  char path[MAX_PATH];
};
static HeldVolume Held[kHeldVolumes];
static int HeldCount = 0;

bool FindVolumePlaces(const char* firstVolume, const char* mediumDir, VolumePlaces* places) {
  places->mediumDir = mediumDir;
  return SplitPath(firstVolume, places->firstDir, sizeof(places->firstDir), NULL, 0);
}

// True when `name` is a plain file name: no folder, drive, stream or device
// in it, nothing that would be looked for outside the folder it lies in.
static bool IsPlainName(const char* name) {
  return strpbrk(name, "\\/") == NULL && IsNameInside(name);
}

bool LocateVolume(const VolumePlaces& places, const char* name, char* path) {
  // A copy a companion file may have brought beside the first is never
  // used: the user changes the one on the medium.
  const char* folder = places.mediumDir != NULL && IsPlainName(name) ? places.mediumDir : places.firstDir;
  return PathCombine(path, MAX_PATH, folder, name) != NULL;
}

static int HeldIndex(const char* path) {
  for (int i = 0; i < HeldCount; ++i) {
    if (_stricmp(Held[i].path, path) == 0)
      return i;
  }
  return -1;
}

// Holds `handle`, the checked volume at `path`, letting the oldest go when
// more are held than the library can be reading.
static void Hold(int32_t handle, const char* path) {
  if (HeldCount == kHeldVolumes) {
    FsClose(Held[0].handle);
    memmove(Held, Held + 1, sizeof(Held[0]) * (kHeldVolumes - 1));
    --HeldCount;
  }
  Held[HeldCount].handle = handle;
  strcpy(Held[HeldCount].path, path);
  ++HeldCount;
}

int AcceptVolume(const char* path) {
  if (Shipped.bytes == NULL)
    return FsAccess(path, 0) == 0 ? 1 : -1;
  if (HeldIndex(path) >= 0)
    return 1;
  char name[MAX_PATH];
  ShippedEntry entry;
  if (!SplitPath(path, NULL, 0, name, sizeof(name)))
    return -1;
  if (!FindShipped(Shipped, kShippedVolume, name, &entry))
    return FsAccess(path, 0) == 0 ? 0 : -1;
  int32_t handle;
  const int check = CheckShippedFile(path, entry, &handle);
  if (check == kShippedMatches)
    Hold(handle, path);
  return check;
}

bool ObtainVolume(const char* path, VolumeAsk ask) {
  int accepted = ask == kAskWrongFirst ? 0 : ask == kAskDiskFirst ? -1 : AcceptVolume(path);
  while (accepted != 1) {
    if (StopRequested || !(accepted == 0 ? PromptWrongVolume(path) : PromptInsertDisk(path)))
      return false;
    accepted = AcceptVolume(path);
  }
  return true;
}

void ReleaseVolumes() {
  for (int i = 0; i < HeldCount; ++i)
    FsClose(Held[i].handle);
  HeldCount = 0;
}
