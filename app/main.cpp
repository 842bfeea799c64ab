// The process entry. The C runtime's start-up code runs first (it initialises
// the platform table); the arguments it hands over are not used: the entry
// gathers its own from the platform, as the installer always has.

#include <windows.h>

#include "app/dialog.h"
#include "platform/platform.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  Platform.GetStartupInfoA(&startup);
  const int result = InstallerMain(Platform.GetModuleHandleA(NULL), NULL,
                                   Platform.GetCommandLineA(), startup.wShowWindow);
  Platform.ExitProcess(static_cast<UINT>(result));
  return result;
}
