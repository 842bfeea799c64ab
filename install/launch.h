// Starting the second-stage installer that came out of the payload.

#ifndef INSTALLER_INSTALL_LAUNCH_H_
#define INSTALLER_INSTALL_LAUNCH_H_

#include <stddef.h>

#include <windows.h>

// The longest command line the platform starts a program with, terminator
// included.
static const size_t kCommandLineSize = 32768;

// Runs MERVOLT.EXE from `workDir` (also its current directory), telling it
// `installerFolder` (ending with "\\", or empty for ".\\"; in its short
// form when it has one) and the installer's command line as the process got
// it (UTF-16, whatever the ANSI code page holds), and waits until it exits. Returns its exit code, or -1 when it was not started; then an error
// box naming the program has been shown. `started` (may be null) tells the
// two apart, as a second stage may itself exit with -1.
int LaunchSecondStage(const char* workDir, const char* installerFolder, bool* started = NULL);

// Runs `program` in `directory`, with `arguments` following its name on the
// command line as they are (starting with a space when there are any), with
// `directory` as its current directory, inheriting no handle, and waits for
// it without a time limit, dispatching the thread's window messages
// meanwhile. The program is named to the platform by its full path, quoted
// in the command line when it has a space. Returns the exit code, or -1 when
// it was not started (the platform's last error then says why); `started`
// (may be null) tells the two apart. Shows nothing.
int RunProcessAndWait(const char* directory, const char* program, const WCHAR* arguments, bool visible,
                      bool* started = NULL);

#endif  // INSTALLER_INSTALL_LAUNCH_H_
