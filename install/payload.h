// The embedded cabinet and the companion files that may lie beside the
// installer.

#ifndef INSTALLER_INSTALL_PAYLOAD_H_
#define INSTALLER_INSTALL_PAYLOAD_H_

#include <windows.h>

// The installer's own module: the payload and the installer's path come from
// it (and the dialog's resources). Set by InstallerMain before the dialog.
extern HINSTANCE InstallerModule;

// The payload is this resource, of type RT_RCDATA (the installer's
// IDR_PAYLOAD).
static const int kPayloadResourceId = 45514;

// The installer's folder is held in a buffer of this size: 300 characters,
// as long as the second stage has ever been told, and the terminator.
static const DWORD kInstallerPathSize = 301;

// Fills `folder` (kInstallerPathSize bytes) with the installer's folder,
// ending with "\\", in the ANSI code page (its short form when the long one
// does not fit or has characters the code page cannot hold), or empties it
// when the installer's path has no separator. False, with `folder` empty,
// when the path cannot be had or neither form is usable: a cut or
// substituted path would name another folder.
bool GetInstallerFolder(char* folder);

// Finds the payload resource of the installer's module. Returns
// its size and points `blockOut` at its bytes (read-only, valid for the life
// of the process); returns 0, `blockOut` null, when it is absent, empty or
// cannot be loaded or locked.
DWORD FindPayload(const void** blockOut);

// Takes the record of what the vendor shipped from the installer's module
// into Shipped (fs/shipped.h). Returns 1 when it is there and well formed, 0
// when the installer carries none (Shipped left empty: nothing beside the
// installer is checked), -1 when it is there but damaged or of an unknown
// version, or cannot be read.
int LoadShippedRecord();

// Copies each companion file present in `sourceDir` (the installer's folder,
// ending with "\\", or empty for the current directory) into `workDir`, each
// as its own progress stage. With a record in Shipped only the companions it
// declares are copied, each only when it matches its entry, checked and
// copied without letting it change in between; an undeclared one stays
// where it is, and one that cannot be read is passed over as a missing one.
// A copy that fails leaves no partial file and is passed over in silence.
// Returns 0, or -1 after a box naming a declared companion whose size or
// content differs from its entry, or without a box once the user asked to
// stop: the run must stop.
int CopyCompanionFiles(const char* workDir, const char* sourceDir);

#endif  // INSTALLER_INSTALL_PAYLOAD_H_
