#include "install/launch.h"

#include <string.h>

#include "app/messages.h"
#include "app/progress.h"
#include "fs/file.h"
#include "fs/path.h"
#include "install/payload.h"
#include "platform/platform.h"

static const char kSecondStage[] = "MERVOLT.EXE";
// Follows the program's name: the switch, the token and a comma, then the
// installer's folder.
static const char kSwitch[] = " -i=0x3D7B1,";

// Show-window and full-screen flags, as the second stage has always been
// started.
static const DWORD kStartupFlags = STARTF_USESHOWWINDOW | STARTF_RUNFULLSCREEN;

// The program's full path into `application` (MAX_PATH bytes): `directory`
// joined with the first word of `command`. False when it does not fit.
static bool ProgramPath(char* application, const char* directory, const char* command) {
  char name[MAX_PATH];
  const size_t length = strcspn(command, " \t");
  if (length >= sizeof(name)) {
    FsSetNameTooLong();
    return false;
  }
  memcpy(name, command, length);
  name[length] = '\0';
  return PathCopy(application, MAX_PATH, directory) != NULL &&
         PathJoin(application, MAX_PATH, name) != NULL;
}

// The command line: the program's path, in double quotes when it has a space
// or a tab so that the program's own argument parsing sees one word, then the
// arguments of `command` unchanged.
static bool BuildCommandLine(char* commandLine, const char* application, const char* command) {
  const bool quoted = strpbrk(application, " \t") != NULL;
  return PathCopy(commandLine, kCommandLineSize, quoted ? "\"" : "") != NULL &&
         PathAppend(commandLine, kCommandLineSize, application) != NULL &&
         PathAppend(commandLine, kCommandLineSize, quoted ? "\"" : "") != NULL &&
         PathAppend(commandLine, kCommandLineSize, command + strcspn(command, " \t")) != NULL;
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

int RunProcessAndWait(const char* directory, const char* command, bool visible,
                      bool* started) {
  int result = -1;
  if (started != NULL)
    *started = false;
  // The whole command line, however long, or nothing: a cut command line
  // would hand the second stage arguments the user never gave.
  char* commandLine = static_cast<char*>(AllocBlock(kCommandLineSize));
  if (commandLine == NULL)
    return -1;
  // The program is named by its full path: without one the platform takes
  // the command line up to its first space for the program, so a work
  // directory under a folder with a space ("C:\tmp dir") would start
  // "C:\\tmp.exe", with the installer's rights.
  char application[MAX_PATH];
  if (ProgramPath(application, directory, command) &&
      BuildCommandLine(commandLine, application, command)) {
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = kStartupFlags;
    startup.wShowWindow = visible ? SW_SHOWNORMAL : SW_HIDE;
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));
    // Nothing of the installer's is handed down: a handle it still holds
    // would keep a file busy in the second stage, after the installer is
    // gone.
    if (Platform.CreateProcessA(application, commandLine, NULL, NULL, FALSE,
                                visible ? 0 : DETACHED_PROCESS, NULL, directory, &startup,
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
  const char* folder = installerFolder[0] != '\0' ? installerFolder : ".\\";
  char shortFolder[kInstallerPathSize];
  // The short form holds no spaces; without one the long form is used.
  const DWORD shortLength = Platform.GetShortPathNameA(folder, shortFolder, kInstallerPathSize);
  const char* shownFolder = shortLength != 0 && shortLength < kInstallerPathSize ? shortFolder : folder;

  char* command = static_cast<char*>(AllocBlock(kCommandLineSize));
  if (command != NULL) {
    if (PathCopy(command, kCommandLineSize, kSecondStage) != NULL &&
        PathAppend(command, kCommandLineSize, kSwitch) != NULL &&
        PathAppend(command, kCommandLineSize, shownFolder) != NULL &&
        PathAppend(command, kCommandLineSize, " ") != NULL &&
        PathAppend(command, kCommandLineSize, Platform.GetCommandLineA()) != NULL)
      result = RunProcessAndWait(workDir, command, true, &ran);
    FreeBlock(command);
  }
  if (!ran) {
    char program[MAX_PATH];
    const DWORD error = Platform.GetLastError();
    if (PathCopy(program, sizeof(program), workDir) == NULL ||
        PathJoin(program, sizeof(program), kSecondStage) == NULL)
      PathCopy(program, sizeof(program), kSecondStage);
    Platform.SetLastError(error);
    ShowStartError(program);
  }
  if (started != NULL)
    *started = ran;
  return result;
}
