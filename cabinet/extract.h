// Unpacking a cabinet set through a staging directory.

#ifndef INSTALLER_CABINET_EXTRACT_H_
#define INSTALLER_CABINET_EXTRACT_H_

// Unpacks the cabinet at `cabinetPath`, and every volume that continues it,
// into a new staging directory inside `targetDir`, then moves the result into
// `targetDir`. Returns 0, or -1 after an error box (none when the library's
// context could not be made); the staging directory is gone either way.
int ExtractCabinetSet(const char* cabinetPath, const char* targetDir);

#endif  // INSTALLER_CABINET_EXTRACT_H_
