// Unpacking a cabinet set through a staging directory.

#ifndef INSTALLER_CABINET_EXTRACT_H_
#define INSTALLER_CABINET_EXTRACT_H_

// Unpacks the cabinet at `cabinetPath`, and every volume that continues it,
// into a new staging directory inside `targetDir`, then moves the result into
// `targetDir`. Returns 0, or -1 after an error box (none when the library's
// context could not be made); the staging directory is gone either way.
int ExtractCabinetSet(const char* cabinetPath, const char* targetDir);

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
