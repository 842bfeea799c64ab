// The benchmark's second stage, packed as MERVOLT.EXE: writes into the file
// named by MERVOLT_STAMP the moment it started and the installer's peak
// working set (as the tests' stand-in does), and exits with MERVOLT_EXIT (0
// without it).
//
// It imports the kernel alone, so that "the second stage started" is the
// process the installer made and not the loading of the libraries a real
// second stage (or the stand-in, with its window) brings along: that is the
// vendor's program's time, not the installer's.
#define PSAPI_VERSION 2  // GetProcessMemoryInfo from the kernel, not psapi.dll
#include <windows.h>

#include <stdlib.h>

#include "../mervolt/stamp.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char path[MAX_PATH];
  if (GetEnvironmentVariableA("MERVOLT_STAMP", path, sizeof(path)) != 0)
    stamp::WriteStamp(path);
  char code[32];
  if (GetEnvironmentVariableA("MERVOLT_EXIT", code, sizeof(code)) != 0)
    return static_cast<int>(strtol(code, NULL, 0));
  return 0;
}
