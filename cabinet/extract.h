// Unpacking a cabinet set through a staging directory.

#ifndef INSTALLER_CABINET_EXTRACT_H_
#define INSTALLER_CABINET_EXTRACT_H_

#include <windows.h>
#include <fdi.h>

#include "cabinet/volumes.h"

// The state of one extraction, handed to the library as the user data of
// every notification.
struct CabinetContext {
  char currentCabinet[MAX_PATH];  // Full path of the volume being unpacked.
  char nextCabinet[MAX_PATH];     // Full path of its successor, as last announced.
  char currentFile[MAX_PATH];     // Name in the cabinet of the file being written.
  const char* stagingDir;
  // Where the further volumes are looked for.
  VolumePlaces places;
  // The error of a failure noticed here rather than by the library (a name
  // that would leave the staging directory, a file that cannot be made), 0
  // when none; shown instead of the library's "user abort".
  int failure;
  // Set when opening the volume announced a successor by name.
  bool nextAnnounced;
  // The set: its ID (of the first volume), the index of the volume the
  // library opened last, and the index the next pass's volume must have
  // (-1 before the first pass, which may start anywhere).
  USHORT setId;
  int lastIndex;
  int expectedIndex;
};

// Unpacks the cabinet at `cabinetPath`, and every volume that continues it,
// into a new staging directory inside `targetDir`, then moves the result into
// `targetDir`. Further volumes are read where they lie, on `mediumDir` (the
// installer's folder, where the user is asked to put a missing one; null:
// beside the first volume), and checked against the installer's record
// (cabinet/volumes.h). Returns 0, or -1 after an error box (none when the
// library's context could not be made); the staging directory is gone and
// no volume is held either way.
int ExtractCabinetSet(const char* cabinetPath, const char* targetDir, const char* mediumDir);

// The notification handler given to FDICopy: follows the volumes of the set,
// writes each file into the staging directory (refusing names that would
// leave it) and restores its stored times and attributes.
FNFDINOTIFY(CabinetNotify);

// True when `name`, a name from a cabinet, names a file inside the directory
// it is unpacked into: not rooted, no drive or stream (":"), no character the
// platform forbids in a name (control characters and < > " | ? *: it would
// refuse the folders too, and making them would be tried for each), no
// component that is empty or made of dots only ("..", but also "." and
// "...", which the platform shortens to the directory itself or its
// parent), and none that names a device or ends in a space or a dot.
bool IsNameInside(const char* name);

// The installer's own extraction errors, beside the library's 1 to 11.
enum {
  kCabinetStagingNotMade = -1,
  kCabinetMoveFailed = -2,
};

// The Polish text for a cabinet error: the library's codes 1 to 11 (its
// erfOper), 0, or the installer's own -1 and -2; a fixed text for any other.
const char* CabinetErrorText(int code);

// Shows CabinetErrorText(code) in an error box.
void ShowCabinetError(int code);

#endif  // INSTALLER_CABINET_EXTRACT_H_
