#include "app/dialog.h"

#include <windows.h>
#include <commctrl.h>

#include "app/resource.h"
#include "install/payload.h"
#include "install/run.h"
#include "platform/platform.h"
#include "ui/messages.h"
#include "ui/progress.h"

// The lower layers name two of the resources by number.
static_assert(IDC_PROGRESS == kProgressBarId, "the bar the progress drives is the dialog's");
static_assert(IDR_PAYLOAD == kPayloadResourceId, "the payload is the installer's resource");

static HICON ProductIcon = NULL;

// True from "Instaluj" on: closing the dialog then asks to stop the run.
static bool Running = false;

// The icon fills the room left of the welcome text, less a margin of 8 pixels.
// The rule measures real pixels, so a larger system font (or DPI) gets a
// larger icon.
static int ProductIconSize(int gap) {
  static const int kSizes[] = {72, 48, 32, 24};
  for (size_t i = 0; i < sizeof(kSizes) / sizeof(kSizes[0]); ++i) {
    if (gap >= kSizes[i])
      return kSizes[i];
  }
  return 16;
}

static void OnInitDialog(HWND dialog) {
  HWND iconControl = Platform.GetDlgItem(dialog, IDC_PRODUCT_ICON);
  if (iconControl != NULL) {
    RECT textRect = {0, 0, 0, 0};
    RECT iconRect = {0, 0, 0, 0};
    Platform.GetWindowRect(Platform.GetDlgItem(dialog, IDC_WELCOME_TEXT), &textRect);
    Platform.GetWindowRect(iconControl, &iconRect);
    const int size = ProductIconSize(textRect.left - iconRect.left - 8);
    ProductIcon = static_cast<HICON>(Platform.LoadImageA(
        InstallerModule, MAKEINTRESOURCEA(IDI_PRODUCT), IMAGE_ICON, size, size, 0));
    if (ProductIcon != NULL)
      Platform.SendMessageA(iconControl, STM_SETICON, reinterpret_cast<WPARAM>(ProductIcon), 0);
  }
  InstallerWindow = dialog;
  InstallerWindowHidden = false;
  Running = false;
}

static void OnInstall(HWND dialog) {
  Platform.ShowWindow(Platform.GetDlgItem(dialog, IDOK), SW_HIDE);
  Platform.ShowWindow(Platform.GetDlgItem(dialog, IDCANCEL), SW_HIDE);
  Platform.ShowWindow(Platform.GetDlgItem(dialog, IDC_PROGRESS), SW_SHOW);
  // The bar stands in the buttons' place before the first byte is written.
  Platform.UpdateWindow(dialog);
  // The run happens here, on the dialog's thread; its progress updates and
  // message boxes keep the dialog painting and serve the close box.
  Running = true;
  const int result = RunInstallation();
  Platform.EndDialog(dialog, result == 0 ? 1 : 0);
}

// "Anuluj", Escape, Alt+F4 and the close box. Before a run they end the
// dialog. During one they ask whether to stop it; the run stops at its next
// safe point and ends the dialog itself. Once the dialog is hidden for the
// second stage nothing can stop it, and they do nothing.
static void OnClose(HWND dialog) {
  if (!Running)
    Platform.EndDialog(dialog, 0);
  else if (!InstallerWindowHidden)
    AskToStop();
}

INT_PTR CALLBACK InstallerDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog(window);
      break;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK)
        OnInstall(window);
      else if (LOWORD(wParam) == IDCANCEL)
        OnClose(window);
      break;
    case WM_DESTROY:
      if (ProductIcon != NULL) {
        Platform.DestroyIcon(ProductIcon);
        ProductIcon = NULL;
      }
      break;
    default:
      break;
  }
  return 0;
}

int InstallerMain(HINSTANCE module) {
  INITCOMMONCONTROLSEX controls;
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_PROGRESS_CLASS;
  if (!Platform.InitCommonControlsEx(&controls))
    return -1;
  InstallerModule = module;
  HRSRC found = Platform.FindResourceA(module, MAKEINTRESOURCEA(IDD_INSTALLER), RT_DIALOG);
  if (found == NULL)
    return 0;
  HGLOBAL loaded = Platform.LoadResource(module, found);
  if (loaded == NULL)
    return 0;
  const DLGTEMPLATE* dialogTemplate = static_cast<const DLGTEMPLATE*>(Platform.LockResource(loaded));
  if (dialogTemplate == NULL)
    return 0;
  return static_cast<int>(
      Platform.DialogBoxIndirectParamA(module, dialogTemplate, NULL, InstallerDialogProc, 0));
}
