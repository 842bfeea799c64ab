// Entry point and the installer dialog.

#ifndef INSTALLER_APP_DIALOG_H_
#define INSTALLER_APP_DIALOG_H_

#include <windows.h>

// Registers the progress bar class, keeps `module` (the installer's own, with
// the dialog, icon and payload resources) as InstallerModule and runs the
// installer dialog. Returns the dialog's result (1 installed, 0 cancelled or
// failed), 0 when the dialog template cannot be had, -1 when the bar class or
// the dialog cannot be made.
int InstallerMain(HINSTANCE module);

// The dialog's procedure; returns 0 for every message so that the dialog
// manager does its default work.
INT_PTR CALLBACK InstallerDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#endif  // INSTALLER_APP_DIALOG_H_
