// A second stage that is not started: CreateProcessW, the two waits and
// GetExitCodeProcess of the platform table replaced by a process that
// has already ended with 0, its handles real (duplicates of this process's
// own) so that closing them is real too. The test's action runs at the
// moment of the start, with the command line and the current directory (in
// the ANSI code page).

#ifndef INSTALLER_TESTS_SUPPORT_SECOND_STAGE_H_
#define INSTALLER_TESTS_SUPPORT_SECOND_STAGE_H_

#include <functional>
#include <string>

// Replaces the four entries for the life of the program's current platform
// table (callers hold a ScopedPlatform).
void FakeSecondStage(std::function<void(const std::string& commandLine, const std::string& directory)> onStart);

#endif  // INSTALLER_TESTS_SUPPORT_SECOND_STAGE_H_
