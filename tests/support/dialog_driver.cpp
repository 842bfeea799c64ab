#include "tests/support/dialog_driver.h"

#include <gtest/gtest.h>

#include "app/dialog.h"
#include "tests/support/platform_guard.h"

namespace {

const UINT_PTR kWatchdogTimer = 0x7e57;
const UINT kWatchdogMilliseconds = 20000;

std::function<void(HWND)> AtInit;

INT_PTR CALLBACK WrappedDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_TIMER && wParam == kWatchdogTimer) {
    ADD_FAILURE() << "the dialog was still open after the watchdog's time";
    EndDialog(window, -2);
    return TRUE;
  }
  const INT_PTR result = InstallerDialogProc(window, message, wParam, lParam);
  if (message == WM_INITDIALOG) {
    SetTimer(window, kWatchdogTimer, kWatchdogMilliseconds, NULL);
    if (AtInit)
      AtInit(window);
  }
  return result;
}

INT_PTR WINAPI WrappingDialogBox(HINSTANCE module, LPCDLGTEMPLATEA dialogTemplate, HWND owner,
                                 DLGPROC proc, LPARAM param) {
  EXPECT_EQ(proc, &InstallerDialogProc);
  return PlatformReal().DialogBoxIndirectParamA(module, dialogTemplate, owner, WrappedDialogProc,
                                                param);
}

}  // namespace

int RunInstallerDialog(std::function<void(HWND dialog)> atInit) {
  ScopedPlatform platform;
  Platform.DialogBoxIndirectParamA = WrappingDialogBox;
  AtInit = atInit;
  const int result = InstallerMain(GetModuleHandleA(NULL));
  AtInit = nullptr;
  return result;
}

void PressButton(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}
