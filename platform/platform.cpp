#include "platform/platform.h"

#include <cstddef>

// kernel32 has this only from Windows 8 on (or Windows 7 with KB2533623), so
// it is looked up at run time rather than imported.
static BOOL WINAPI SetDefaultDllDirectoriesIfPresent(DWORD flags) {
  typedef BOOL(WINAPI * SetDirectoriesFunction)(DWORD);
  const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  if (kernel == NULL)
    return FALSE;
  const SetDirectoriesFunction set = reinterpret_cast<SetDirectoriesFunction>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (set == NULL)
    return FALSE;
  return set(flags);
}

// Entries in the order of PlatformTable. A missing initializer is a
// -Wmissing-field-initializers warning, which the build treats as an error.
static const PlatformTable kRealPlatform = {
    ::CreateFileA,
    ::ReadFile,
    ::WriteFile,
    ::SetFilePointer,
    ::GetFileSize,
    ::GetFileType,
    ::CloseHandle,
    ::GetFileAttributesA,
    ::SetFileAttributesA,
    ::DeleteFileA,
    ::CreateDirectoryA,
    ::RemoveDirectoryA,
    ::MoveFileA,
    ::FindFirstFileA,
    ::FindNextFileA,
    ::FindClose,
    ::SetFileTime,
    ::DosDateTimeToFileTime,
    ::LocalFileTimeToFileTime,
    ::GetTempPathA,
    ::GetTempFileNameA,
    ::GetModuleHandleA,
    ::GetModuleFileNameA,
    ::FindResourceA,
    ::SizeofResource,
    ::LoadResource,
    ::LockResource,
    ::GetShortPathNameA,
    ::GetCommandLineA,
    ::GetStartupInfoA,
    ::CreateProcessA,
    ::WaitForSingleObject,
    ::GetExitCodeProcess,
    ::ExitProcess,
    ::LoadLibraryA,
    ::GetProcAddress,
    ::FreeLibrary,
    ::GetSystemDirectoryA,
    ::LocalAlloc,
    ::LocalFree,
    ::GetLastError,
    ::SetLastError,
    ::FormatMessageA,
    ::MultiByteToWideChar,
    ::WideCharToMultiByte,
    SetDefaultDllDirectoriesIfPresent,
    ::DialogBoxIndirectParamA,
    ::EndDialog,
    ::GetDlgItem,
    ::ShowWindow,
    ::UpdateWindow,
    ::GetWindowRect,
    ::SendMessageA,
    ::LoadImageA,
    ::DestroyIcon,
    ::MessageBoxA,
    ::PeekMessageA,
    ::TranslateMessage,
    ::DispatchMessageA,
    ::wsprintfA,
    ::InitCommonControlsEx,
};

PlatformTable Platform = kRealPlatform;

const PlatformTable& PlatformReal() {
  return kRealPlatform;
}

bool PlatformIsComplete(const PlatformTable& table) {
  // Every entry is a function pointer; none of them may be null.
  typedef void (*AnyFunction)();
  const AnyFunction* entries = reinterpret_cast<const AnyFunction*>(&table);
  const size_t count = sizeof(table) / sizeof(AnyFunction);
  for (size_t i = 0; i < count; ++i) {
    if (entries[i] == NULL)
      return false;
  }
  return true;
}
