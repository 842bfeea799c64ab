// Finding and checking the further volumes of a cabinet set. A further
// volume is read where it lies: beside the installer (the medium, where the
// user is asked to put the disk with it), or beside the first volume when
// there is no medium; it is never copied anywhere first. When the installer
// carries a record of what its vendor shipped (fs/shipped.h), a volume is
// used only when it is recorded and its size and SHA-256 match, and from its
// check until ReleaseVolumes it is held open with writers shut out, so the
// bytes the library reads are the bytes that were checked.

#ifndef INSTALLER_CABINET_VOLUMES_H_
#define INSTALLER_CABINET_VOLUMES_H_

// Where a set's further volumes are looked for.
struct VolumePlaces {
  char firstDir[260];     // The first volume's folder, ending with "\\" (or empty).
  const char* mediumDir;  // The installer's folder, ending with "\\" or empty; or null.
};

// Fills `places` for the set whose first volume is `firstVolume`. False when
// the path does not fit.
bool FindVolumePlaces(const char* firstVolume, const char* mediumDir, VolumePlaces* places);

// The path of the further volume the set names `name`, into `path`
// (MAX_PATH bytes): on the medium when there is one and `name` is a plain
// file name; else beside the first volume, where the library itself would
// look. False when it does not fit.
bool LocateVolume(const VolumePlaces& places, const char* name, char* path);

// Whether the further volume at `path` may be read. 1: yes (with a record:
// it is recorded under its file name and matches, and is now held); 0: not
// the vendor's (not recorded, another size or content); -1: not there, or
// not readable.
int AcceptVolume(const char* path);

// What to ask before the first look at a volume.
enum VolumeAsk {
  kAskNothing,     // Look first; ask only when it is not right.
  kAskWrongFirst,  // The library found it to be another set's or index.
  kAskDiskFirst,   // The library could not use it (not a cabinet, unreadable).
};

// Asks for the volume at `path` until AcceptVolume takes it: the wrong-volume
// prompt when it is not the vendor's, the disk prompt when it is not there.
// Each prompt is left only by the user (fs and ui contracts: Retry or OK
// looks again, giving up ends it). False when the user gave up.
bool ObtainVolume(const char* path, VolumeAsk ask);

// Closes every volume held. Called when an extraction ends, on every path.
void ReleaseVolumes();

#endif  // INSTALLER_CABINET_VOLUMES_H_
