// Starting the second-stage installer that came out of the payload.

#ifndef INSTALLER_INSTALL_LAUNCH_H_
#define INSTALLER_INSTALL_LAUNCH_H_

// Runs MERVOLT.EXE from `workDir` (also its current directory), telling it the
// installer's folder and command line, and waits until it exits. Returns its
// exit code, or -1 when it was not started.
int LaunchSecondStage(const char* workDir);

// Runs `command` (a program in `directory`, with its arguments) with
// `directory` as its current directory and waits for it. Returns the exit
// code, or -1 when it was not started.
int RunProcessAndWait(const char* directory, const char* command, bool visible);

#endif  // INSTALLER_INSTALL_LAUNCH_H_
