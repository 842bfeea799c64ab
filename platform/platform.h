// The seam between the installer and the operating system.
//
// Every Windows function the installer calls goes through the table below.
// `Platform` starts as a copy of the real functions; tests replace single
// entries (a failing allocation, a scripted message box) and put them back,
// and another system could fill the table with its own equivalents.

#ifndef INSTALLER_PLATFORM_PLATFORM_H_
#define INSTALLER_PLATFORM_PLATFORM_H_

#include <windows.h>
#include <commctrl.h>
#include <sddl.h>

struct PlatformTable {
  // kernel32: files and directories.
  decltype(&::CreateFileA) CreateFileA;
  decltype(&::ReadFile) ReadFile;
  decltype(&::WriteFile) WriteFile;
  decltype(&::SetFilePointer) SetFilePointer;
  decltype(&::GetFileSize) GetFileSize;
  decltype(&::GetFileType) GetFileType;
  decltype(&::CloseHandle) CloseHandle;
  decltype(&::GetFileAttributesA) GetFileAttributesA;
  decltype(&::SetFileAttributesA) SetFileAttributesA;
  decltype(&::DeleteFileA) DeleteFileA;
  decltype(&::CreateDirectoryA) CreateDirectoryA;
  decltype(&::RemoveDirectoryA) RemoveDirectoryA;
  decltype(&::MoveFileA) MoveFileA;
  decltype(&::FindFirstFileA) FindFirstFileA;
  decltype(&::FindNextFileA) FindNextFileA;
  decltype(&::FindClose) FindClose;
  decltype(&::SetFileTime) SetFileTime;
  decltype(&::DosDateTimeToFileTime) DosDateTimeToFileTime;
  decltype(&::LocalFileTimeToFileTime) LocalFileTimeToFileTime;
  // kernel32: temporary names, the module and its resources.
  decltype(&::GetTempPathW) GetTempPathW;
  decltype(&::GetTempFileNameA) GetTempFileNameA;
  decltype(&::GetModuleHandleA) GetModuleHandleA;
  decltype(&::GetModuleFileNameW) GetModuleFileNameW;
  decltype(&::FindResourceA) FindResourceA;
  decltype(&::SizeofResource) SizeofResource;
  decltype(&::LoadResource) LoadResource;
  decltype(&::LockResource) LockResource;
  decltype(&::GetShortPathNameW) GetShortPathNameW;
  decltype(&::GetCommandLineW) GetCommandLineW;
  // kernel32: processes, libraries, memory, errors.
  decltype(&::CreateProcessW) CreateProcessW;
  decltype(&::WaitForSingleObject) WaitForSingleObject;
  decltype(&::GetExitCodeProcess) GetExitCodeProcess;
  decltype(&::ExitProcess) ExitProcess;
  decltype(&::LoadLibraryA) LoadLibraryA;
  decltype(&::GetProcAddress) GetProcAddress;
  decltype(&::FreeLibrary) FreeLibrary;
  decltype(&::GetSystemDirectoryA) GetSystemDirectoryA;
  decltype(&::LocalAlloc) LocalAlloc;
  decltype(&::LocalFree) LocalFree;
  decltype(&::GetLastError) GetLastError;
  decltype(&::SetLastError) SetLastError;
  decltype(&::FormatMessageW) FormatMessageW;
  // kernel32: the clock and waiting, for retries.
  decltype(&::GetTickCount) GetTickCount;
  decltype(&::Sleep) Sleep;
  // kernel32: text between code pages.
  decltype(&::MultiByteToWideChar) MultiByteToWideChar;
  decltype(&::WideCharToMultiByte) WideCharToMultiByte;
  decltype(&::GetACP) GetACP;
  // advapi32: whether the process is elevated, and the work directory's
  // security descriptor.
  decltype(&::GetCurrentProcess) GetCurrentProcess;
  decltype(&::OpenProcessToken) OpenProcessToken;
  decltype(&::GetTokenInformation) GetTokenInformation;
  decltype(&::ConvertSidToStringSidA) ConvertSidToStringSidA;
  decltype(&::ConvertStringSecurityDescriptorToSecurityDescriptorA)
      ConvertStringSecurityDescriptorToSecurityDescriptorA;
  // Restricts where the process looks for libraries; a no-op returning FALSE
  // on systems older than Windows 8 without the update that brought it.
  BOOL(WINAPI* SetDefaultDllDirectories)(DWORD flags);
  // user32.
  decltype(&::DialogBoxIndirectParamA) DialogBoxIndirectParamA;
  decltype(&::EndDialog) EndDialog;
  decltype(&::GetDlgItem) GetDlgItem;
  decltype(&::ShowWindow) ShowWindow;
  decltype(&::UpdateWindow) UpdateWindow;
  decltype(&::GetWindowRect) GetWindowRect;
  decltype(&::SendMessageA) SendMessageA;
  decltype(&::LoadImageA) LoadImageA;
  decltype(&::DestroyIcon) DestroyIcon;
  decltype(&::MessageBoxW) MessageBoxW;
  decltype(&::PeekMessageA) PeekMessageA;
  decltype(&::MsgWaitForMultipleObjects) MsgWaitForMultipleObjects;
  decltype(&::TranslateMessage) TranslateMessage;
  decltype(&::DispatchMessageA) DispatchMessageA;
  decltype(&::wsprintfW) wsprintfW;
  // comctl32, loaded on first use rather than imported.
  decltype(&::InitCommonControlsEx) InitCommonControlsEx;
};

// The table every module calls through. Starts equal to PlatformReal().
extern PlatformTable Platform;

// The table filled with the operating system's own functions.
const PlatformTable& PlatformReal();

// True when no entry of `table` is null. The test programs check the real
// table with it before anything runs.
bool PlatformIsComplete(const PlatformTable& table);

// The one conversion into UTF-16: the zero-terminated `text`, of `codePage`,
// into `out` of `count` characters. False when it is not valid in that code
// page (a byte sequence it does not define) or does not fit; `out` then holds
// the empty string.
bool ToWide(UINT codePage, const char* text, WCHAR* out, size_t count);

#endif  // INSTALLER_PLATFORM_PLATFORM_H_
