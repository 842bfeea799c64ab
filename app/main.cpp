// The process entry. The C runtime's start-up code runs first (it initialises
// the platform table); the arguments it hands over are not used: the module
// comes from the platform, and the command line is read where it is handed
// on to the second stage.

#include <windows.h>

#include "app/dialog.h"
#include "platform/platform.h"

// LOAD_LIBRARY_SEARCH_SYSTEM32: libraries loaded by name, by this process or
// by the libraries it loads, come from the system directory only.
static const DWORD kSearchSystemOnly = 0x00000800;

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // First of all: a library planted beside the installer (a Downloads folder)
  // must never be loaded in place of the system's.
  Platform.SetDefaultDllDirectories(kSearchSystemOnly);
  const int result = InstallerMain(Platform.GetModuleHandleA(NULL));
  Platform.ExitProcess(static_cast<UINT>(result));
  return result;
}
