// Starting the second stage: the command line it gets, how it is started and
// waited for, and what happens when it cannot be started.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/messages.h"
#include "install/launch.h"
#include "tests/support/boxes.h"
#include "tests/support/platform_guard.h"
#include "tests/support/temp_dir.h"

namespace {

// What CreateProcessA was given, and what the fake process does.
struct Started {
  int calls = 0;
  std::string application;
  std::string commandLine;
  BOOL inherit = FALSE;
  DWORD flags = 0;
  bool hadEnvironment = false;
  std::string directory;
  STARTUPINFOA startup = {};
  DWORD waitedFor = 0;
  std::vector<HANDLE> closed;
  DWORD exitCode = 0;
  bool fail = false;
};
Started Process;
std::string ModulePath, ShortFolder, OwnCommandLine;

const HANDLE kProcess = reinterpret_cast<HANDLE>(0x1110);
const HANDLE kThread = reinterpret_cast<HANDLE>(0x2220);

BOOL WINAPI FakeCreateProcess(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES,
                              LPSECURITY_ATTRIBUTES, BOOL inherit, DWORD flags, LPVOID environment,
                              LPCSTR directory, LPSTARTUPINFOA startup,
                              LPPROCESS_INFORMATION information) {
  ++Process.calls;
  Process.application = application != NULL ? application : "<none>";
  Process.commandLine = commandLine;
  Process.inherit = inherit;
  Process.flags = flags;
  Process.hadEnvironment = environment != NULL;
  Process.directory = directory;
  Process.startup = *startup;
  if (Process.fail) {
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return FALSE;
  }
  information->hProcess = kProcess;
  information->hThread = kThread;
  return TRUE;
}
DWORD WINAPI FakeWait(HANDLE handle, DWORD timeout) {
  EXPECT_EQ(handle, kProcess);
  Process.waitedFor = timeout;
  return WAIT_OBJECT_0;
}
BOOL WINAPI FakeExitCode(HANDLE handle, LPDWORD code) {
  EXPECT_EQ(handle, kProcess);
  *code = Process.exitCode;
  return TRUE;
}
BOOL WINAPI FakeClose(HANDLE handle) {
  Process.closed.push_back(handle);
  return TRUE;
}
DWORD WINAPI FakeModulePath(HMODULE, LPSTR buffer, DWORD size) {
  lstrcpynA(buffer, ModulePath.c_str(), size);
  return static_cast<DWORD>(ModulePath.size());
}
DWORD WINAPI FakeShortPath(LPCSTR, LPSTR buffer, DWORD size) {
  lstrcpynA(buffer, ShortFolder.c_str(), size);
  return static_cast<DWORD>(ShortFolder.size());
}
LPSTR WINAPI FakeCommandLine() {
  return &OwnCommandLine[0];
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

class LaunchTest : public testing::Test {
 protected:
  void SetUp() override {
    InstallerWindow = NULL;
    Process = Started();
    ModulePath = "C:\\Program Files\\Kit\\setup.exe";
    ShortFolder = "C:\\PROGRA~1\\Kit\\";
    OwnCommandLine = "\"C:\\Program Files\\Kit\\setup.exe\" /q";
    Platform.CreateProcessA = FakeCreateProcess;
    Platform.WaitForSingleObject = FakeWait;
    Platform.GetExitCodeProcess = FakeExitCode;
    Platform.CloseHandle = FakeClose;
    Platform.GetModuleFileNameA = FakeModulePath;
    Platform.GetShortPathNameA = FakeShortPath;
    Platform.GetCommandLineA = FakeCommandLine;
  }
  ScopedPlatform platform_;
};

// The second stage runs from the work directory with the installer's short
// folder and its own command line unchanged, visibly, inheriting handles; the
// run waits without a time limit and both handles are closed. Its exit code,
// even -1, is handed back as having run.
TEST_F(LaunchTest, CommandLineAndStart) {
  Process.exitCode = 0xFFFFFFFF;
  BoxScript boxes;
  bool started = false;
  EXPECT_EQ(LaunchSecondStage("C:\\work", &started), -1);
  EXPECT_TRUE(started);
  EXPECT_TRUE(boxes.texts().empty());
  ASSERT_EQ(Process.calls, 1);
  EXPECT_EQ(Process.application, "C:\\work\\MERVOLT.EXE");
  EXPECT_EQ(Process.commandLine,
            "C:\\work\\MERVOLT.EXE -i=0x3D7B1,C:\\PROGRA~1\\Kit\\ \"C:\\Program Files\\Kit\\setup.exe\" /q");
  EXPECT_EQ(Process.directory, "C:\\work");
  EXPECT_TRUE(Process.inherit);
  EXPECT_EQ(Process.flags, 0u);
  EXPECT_FALSE(Process.hadEnvironment);
  EXPECT_EQ(Process.startup.dwFlags, 0x21u);
  EXPECT_EQ(Process.startup.wShowWindow, SW_SHOWNORMAL);
  EXPECT_EQ(Process.startup.cb, sizeof(STARTUPINFOA));
  EXPECT_EQ(Process.waitedFor, INFINITE);
  EXPECT_EQ(Process.closed, std::vector<HANDLE>({kThread, kProcess}));
}

// A work directory with a space: the platform is given the program's full
// path, so it searches for nothing ("C:\\tmp.exe" first), and the path is
// quoted so that the second stage's first argument is the switch.
TEST_F(LaunchTest, WorkDirectoryWithSpace) {
  LaunchSecondStage("C:\\tmp dir\\dm_1.tmp");
  EXPECT_EQ(Process.application, "C:\\tmp dir\\dm_1.tmp\\MERVOLT.EXE");
  EXPECT_EQ(Process.commandLine,
            "\"C:\\tmp dir\\dm_1.tmp\\MERVOLT.EXE\" -i=0x3D7B1,C:\\PROGRA~1\\Kit\\ "
            "\"C:\\Program Files\\Kit\\setup.exe\" /q");
  EXPECT_EQ(Process.directory, "C:\\tmp dir\\dm_1.tmp");
}

// Without a short form the long folder is used; without any folder, ".\\".
TEST_F(LaunchTest, InstallerFolderForms) {
  ShortFolder = "";
  LaunchSecondStage("C:\\work\\");
  EXPECT_EQ(Process.commandLine,
            "C:\\work\\MERVOLT.EXE -i=0x3D7B1,C:\\Program Files\\Kit\\ \"C:\\Program Files\\Kit\\setup.exe\" /q");
  ModulePath = "setup.exe";
  LaunchSecondStage("C:\\work");
  EXPECT_EQ(Process.commandLine.substr(0, 36), "C:\\work\\MERVOLT.EXE -i=0x3D7B1,.\\ \"C");
}

// A command line of thousands of characters reaches the second stage whole;
// one beyond what the platform can start is refused, with a box, not cut.
TEST_F(LaunchTest, LongCommandLines) {
  ShortFolder = "C:\\KIT\\";
  OwnCommandLine = "setup.exe " + std::string(6000, 'a');
  LaunchSecondStage("C:\\w");
  EXPECT_EQ(Process.commandLine, "C:\\w\\MERVOLT.EXE -i=0x3D7B1,C:\\KIT\\ " + OwnCommandLine);

  const std::string head = "C:\\w\\MERVOLT.EXE -i=0x3D7B1,C:\\KIT\\ ";
  OwnCommandLine = std::string(32767 - head.size(), 'b');
  LaunchSecondStage("C:\\w");
  EXPECT_EQ(Process.commandLine.size(), 32767u);
  EXPECT_EQ(Process.calls, 2);

  OwnCommandLine += "b";
  BoxScript boxes;
  bool started = true;
  EXPECT_EQ(LaunchSecondStage("C:\\w", &started), -1);
  EXPECT_FALSE(started);
  EXPECT_EQ(Process.calls, 2);
  ASSERT_EQ(boxes.texts().size(), 1u);
  EXPECT_TRUE(StartsWith(boxes.texts()[0], "Nie mogę uruchomić programu C:\\w\\MERVOLT.EXE (206 "))
      << boxes.texts()[0];
}

// When the platform cannot start the program, one box names it with the
// reason, and the launch says it did not run.
TEST_F(LaunchTest, StartFailureShown) {
  Process.fail = true;
  BoxScript boxes;
  bool started = true;
  EXPECT_EQ(LaunchSecondStage("C:\\work", &started), -1);
  EXPECT_FALSE(started);
  ASSERT_EQ(boxes.texts().size(), 1u);
  EXPECT_TRUE(StartsWith(boxes.texts()[0], "Nie mogę uruchomić programu C:\\work\\MERVOLT.EXE (193 "))
      << boxes.texts()[0];
  EXPECT_TRUE(Process.closed.empty());
}

// Run hidden, a program is detached and its window hidden; it is still
// waited for.
TEST_F(LaunchTest, HiddenProcess) {
  Process.exitCode = 3;
  bool started = false;
  EXPECT_EQ(RunProcessAndWait("C:\\d", "tool.exe /x", false, &started), 3);
  EXPECT_TRUE(started);
  EXPECT_EQ(Process.application, "C:\\d\\tool.exe");
  EXPECT_EQ(Process.commandLine, "C:\\d\\tool.exe /x");
  EXPECT_EQ(Process.flags, static_cast<DWORD>(DETACHED_PROCESS));
  EXPECT_EQ(Process.startup.wShowWindow, SW_HIDE);
  EXPECT_EQ(Process.waitedFor, INFINITE);
}

// A real start of a program that is not there.
TEST(LaunchRealTest, MissingSecondStage) {
  TempDir work;
  BoxScript boxes;
  bool started = true;
  EXPECT_EQ(LaunchSecondStage(work.path().c_str(), &started), -1);
  EXPECT_FALSE(started);
  ASSERT_EQ(boxes.texts().size(), 1u);
  const std::string expected = "Nie mogę uruchomić programu " + work.path() + "\\MERVOLT.EXE (2 ";
  EXPECT_TRUE(StartsWith(boxes.texts()[0], expected)) << boxes.texts()[0];
}

}  // namespace
