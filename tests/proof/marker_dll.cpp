// A library that tells when it is loaded: it writes "<its file name>.loaded"
// beside itself. Copies named like system libraries, put beside the
// installer, show whether any of them was picked up in place of the real one.

#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    char path[MAX_PATH + 8];
    const DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
      lstrcatA(path, ".loaded");
      HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
      if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    }
  }
  return TRUE;
}
