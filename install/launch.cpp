#include "install/launch.h"

#include <string.h>
#include <wchar.h>

#include "fs/file.h"
#include "fs/path.h"
#include "install/payload.h"
#include "platform/platform.h"
#include "ui/messages.h"
#include "ui/progress.h"

static const char kSecondStage[] = "MERVOLT.EXE";
// Follows the program's name: the switch, the token and a comma, then the
// installer's folder.
static const WCHAR kSwitch[] = L" -i=0x3D7B1,";

// Show-window and full-screen flags, as the second stage has always been
// started.
static const DWORD kStartupFlags = STARTF_USESHOWWINDOW | STARTF_RUNFULLSCREEN;

// Appends `text` to the UTF-16 string in `buffer` of `size` characters.
// False, the buffer unchanged and the refusal recorded as a name too long,
// when the result would not fit.
static bool WideAppend(WCHAR* buffer, size_t size, const WCHAR* text) {
  const size_t used = wcslen(buffer);
  const size_t length = wcslen(text);
  if (used + length >= size) {
    FsSetNameTooLong();
    return false;
  }
  memcpy(buffer + used, text, (length + 1) * sizeof(WCHAR));
  return true;
}

// The command line: the program's path `application`, in double quotes when
// it has a space or a tab so that the program's own argument parsing sees
// one word, then `arguments` unchanged.
static bool BuildCommandLine(WCHAR* commandLine, const WCHAR* application, const WCHAR* arguments) {
  const WCHAR* quote = wcspbrk(application, L" \t") != NULL ? L"\"" : L"";
  commandLine[0] = L'\0';
  return WideAppend(commandLine, kCommandLineSize, quote) &&
         WideAppend(commandLine, kCommandLineSize, application) &&
         WideAppend(commandLine, kCommandLineSize, quote) &&
         WideAppend(commandLine, kCommandLineSize, arguments);
}

// When the wait for messages itself fails, the process is waited for this
// long at a time, with the queue drained in between.
static const DWORD kWaitSliceMs = 100;

// Waits until `process` ends, answering the thread's window messages
// meanwhile. The installer's dialog, hidden but still a top-level window,
// must answer whatever is sent to it: a second stage that broadcasts a
// message with SendMessage (as installers do after changing the
// environment) waits until every top-level window has answered, and a
// thread that only waited would never answer, so neither would end.
static void WaitServingMessages(HANDLE process) {
  for (;;) {
    const DWORD woke =
        Platform.MsgWaitForMultipleObjects(1, &process, FALSE, INFINITE, QS_ALLINPUT);
    if (woke == WAIT_OBJECT_0)
      return;
    if (woke != WAIT_OBJECT_0 + 1 && Platform.WaitForSingleObject(process, kWaitSliceMs) != WAIT_TIMEOUT)
      return;  // Ended, or it cannot be waited for at all.
    PumpMessages();
  }
}

int RunProcessAndWait(const char* directory, const char* program, const WCHAR* arguments, bool visible,
                      bool* started) {
  int result = -1;
  if (started != NULL)
    *started = false;
  // The whole command line, however long, or nothing: a cut command line
  // would hand the second stage arguments the user never gave.
  WCHAR* commandLine = static_cast<WCHAR*>(AllocBlock(kCommandLineSize * sizeof(WCHAR)));
  if (commandLine == NULL)
    return -1;
  // The program is named by its full path: without one the platform takes
  // the command line up to its first space for the program, so a work
  // directory under a folder with a space ("C:\tmp dir") would start
  // "C:\\tmp.exe", with the installer's rights.
  char path[MAX_PATH];
  WCHAR application[MAX_PATH];
  WCHAR currentDirectory[MAX_PATH];
  if (PathCombine(path, sizeof(path), directory, program) != NULL &&
      ToWide(CP_ACP, path, application, MAX_PATH) && ToWide(CP_ACP, directory, currentDirectory, MAX_PATH) &&
      BuildCommandLine(commandLine, application, arguments)) {
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = kStartupFlags;
    startup.wShowWindow = visible ? SW_SHOWNORMAL : SW_HIDE;
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));
    // Started through UTF-16, so that arguments the ANSI code page cannot
    // hold arrive unchanged. Nothing of the installer's is handed down: a
    // handle it still holds would keep a file busy in the second stage,
    // after the installer is gone.
    if (Platform.CreateProcessW(application, commandLine, NULL, NULL, FALSE,
                                visible ? 0 : DETACHED_PROCESS, NULL, currentDirectory, &startup,
                                &process)) {
      Platform.CloseHandle(process.hThread);
      WaitServingMessages(process.hProcess);
      DWORD exitCode = static_cast<DWORD>(-1);
      Platform.GetExitCodeProcess(process.hProcess, &exitCode);
      Platform.CloseHandle(process.hProcess);
      result = static_cast<int>(exitCode);
      if (started != NULL)
        *started = true;
    }
  }
  // Freeing the block must not lose the reason why nothing was started.
  const DWORD error = Platform.GetLastError();
  FreeBlock(commandLine);
  Platform.SetLastError(error);
  return result;
}

int LaunchSecondStage(const char* workDir, const char* installerFolder, bool* started) {
  bool ran = false;
  int result = -1;
  // The folder in its short form, which holds no spaces, when it has one
  // that the ANSI code page holds (the second stage may read its command
  // line in that code page); else as it is, which the code page holds.
  WCHAR folder[kInstallerPathSize];
  WCHAR shortFolder[kInstallerPathSize];
  char shortAnsi[kInstallerPathSize];
  const WCHAR* shownFolder = folder;
  if (ToWide(CP_ACP, installerFolder[0] != '\0' ? installerFolder : ".\\", folder, kInstallerPathSize)) {
    const DWORD shortLength = Platform.GetShortPathNameW(folder, shortFolder, kInstallerPathSize);
    if (shortLength != 0 && shortLength < kInstallerPathSize &&
        WideToAnsiExact(shortFolder, shortAnsi, sizeof(shortAnsi)))
      shownFolder = shortFolder;
  } else {
    folder[0] = L'\0';
  }

  // The installer's own command line as the process received it, in
  // UTF-16: arguments the ANSI code page cannot hold are handed on whole.
  WCHAR* arguments = static_cast<WCHAR*>(AllocBlock(kCommandLineSize * sizeof(WCHAR)));
  if (arguments != NULL) {
    arguments[0] = L'\0';
    if (folder[0] != L'\0' && WideAppend(arguments, kCommandLineSize, kSwitch) &&
        WideAppend(arguments, kCommandLineSize, shownFolder) &&
        WideAppend(arguments, kCommandLineSize, L" ") &&
        WideAppend(arguments, kCommandLineSize, Platform.GetCommandLineW()))
      result = RunProcessAndWait(workDir, kSecondStage, arguments, true, &ran);
    FreeBlock(arguments);
  }
  if (!ran) {
    char program[MAX_PATH];
    const DWORD error = Platform.GetLastError();
    if (PathCombine(program, sizeof(program), workDir, kSecondStage) == NULL)
      PathCopy(program, sizeof(program), kSecondStage);
    Platform.SetLastError(error);
    ShowStartError(program);
  }
  if (started != NULL)
    *started = ran;
  return result;
}
