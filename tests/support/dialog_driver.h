// Runs the real installer dialog in the test process (Wine's null graphics
// driver: no display needed). The dialog procedure is wrapped so that a test
// can act right after WM_INITDIALOG, typically by posting the command a user
// would give; a watchdog ends a dialog that is still open after 20 seconds.

#ifndef INSTALLER_TESTS_SUPPORT_DIALOG_DRIVER_H_
#define INSTALLER_TESTS_SUPPORT_DIALOG_DRIVER_H_

#include <windows.h>

#include <functional>

// Calls InstallerMain with this executable's module (which carries the
// installer's resources) and returns its result.
int RunInstallerDialog(std::function<void(HWND dialog)> atInit);

// Posts what pressing a button of the dialog sends.
void PressButton(HWND dialog, int id);

#endif  // INSTALLER_TESTS_SUPPORT_DIALOG_DRIVER_H_
