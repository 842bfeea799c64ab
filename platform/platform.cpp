#include "platform/platform.h"

#include <stdint.h>

#include <cstddef>

// The address of `name` in `module`, as a pointer of type F, or NULL.
template <typename F>
static F LookUp(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// kernel32 has this only from Windows 8 on (or Windows 7 with KB2533623), so
// it is looked up at run time rather than imported.
static BOOL WINAPI SetDefaultDllDirectoriesIfPresent(DWORD flags) {
  typedef BOOL(WINAPI * SetDirectoriesFunction)(DWORD);
  const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  if (kernel == NULL)
    return FALSE;
  const SetDirectoriesFunction set = LookUp<SetDirectoriesFunction>(kernel, "SetDefaultDllDirectories");
  if (set == NULL)
    return FALSE;
  return set(flags);
}

// comctl32 is not a library the system protects from being replaced: a copy
// planted beside the installer would be loaded with the program, before any
// of its code runs, and so would the libraries comctl32 itself imports. So it
// is not imported; it is loaded on first use, by name (the manifest then
// gives version 6), after start-up has limited the search to the system
// directory.
static BOOL WINAPI InitCommonControlsExFromSystem(const INITCOMMONCONTROLSEX* controls) {
  typedef BOOL(WINAPI * InitFunction)(const INITCOMMONCONTROLSEX*);
  static InitFunction init = NULL;
  if (init == NULL) {
    const HMODULE library = ::LoadLibraryA("comctl32.dll");
    if (library == NULL)
      return FALSE;
    init = LookUp<InitFunction>(library, "InitCommonControlsEx");
    if (init == NULL) {
      ::FreeLibrary(library);
      return FALSE;
    }
  }
  return init(controls);
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
    ::GetTempPathW,
    ::GetTempFileNameA,
    ::GetModuleHandleA,
    ::GetModuleFileNameW,
    ::FindResourceA,
    ::SizeofResource,
    ::LoadResource,
    ::LockResource,
    ::GetShortPathNameW,
    ::GetCommandLineW,
    ::CreateProcessW,
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
    ::FormatMessageW,
    ::GetTickCount,
    ::Sleep,
    ::MultiByteToWideChar,
    ::WideCharToMultiByte,
    ::GetACP,
    ::GetCurrentProcess,
    ::OpenProcessToken,
    ::GetTokenInformation,
    ::ConvertSidToStringSidA,
    ::ConvertStringSecurityDescriptorToSecurityDescriptorA,
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
    ::MessageBoxW,
    ::PeekMessageA,
    ::MsgWaitForMultipleObjects,
    ::TranslateMessage,
    ::DispatchMessageA,
    ::wsprintfW,
    InitCommonControlsExFromSystem,
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

bool ToWide(UINT codePage, const char* text, WCHAR* out, size_t count) {
  if (count == 0 || count > INT32_MAX)
    return false;
  if (Platform.MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, -1, out,
                                   static_cast<int>(count)) != 0)
    return true;
  out[0] = L'\0';
  return false;
}
