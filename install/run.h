// The installation run: what one press of "Instaluj" sets off.

#ifndef INSTALLER_INSTALL_RUN_H_
#define INSTALLER_INSTALL_RUN_H_

// Makes the work directory, binds the cabinet library, writes the payload,
// copies the companion files, unpacks, hides the dialog and runs the second
// stage, then removes the work directory and unbinds the library. Returns 0
// when the second stage was started, -1 on any failure before that; every
// failure has been shown in a message box by then.
int RunInstallation();

// Empties `buffer` (260 bytes) and makes a new directory "dm_XXXX.tmp" in the
// temporary folder, its path in `buffer`; when the process is elevated, only
// administrators and the system may change it (fs/secure.h). Returns
// `buffer`, or NULL, also when elevation cannot be told.
char* MakeWorkDirectory(char* buffer);

#endif  // INSTALLER_INSTALL_RUN_H_
