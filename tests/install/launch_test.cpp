// Starting the second stage: the command line it gets, how it is started and
// waited for, and what happens when it cannot be started.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "install/launch.h"
#include "tests/support/boxes.h"
#include "tests/support/platform_guard.h"
#include "tests/support/temp_dir.h"
#include "ui/messages.h"

namespace {

// What CreateProcessW was given (its strings also in UTF-8, for reading),
// and what the fake process does.
struct Started {
  int calls = 0;
  std::string application;
  std::string commandLine;
  std::wstring wideCommandLine;
  BOOL inherit = FALSE;
  DWORD flags = 0;
  bool hadEnvironment = false;
  std::string directory;
  STARTUPINFOW startup = {};
  DWORD waitedFor = 0;
  DWORD wakeMask = 0;
  std::vector<HANDLE> closed;
  DWORD exitCode = 0;
  bool fail = false;
};
Started Process;
std::wstring ShortFolder, OwnCommandLine;
const char kFolder[] = "C:\\Program Files\\Kit\\";

const HANDLE kProcess = reinterpret_cast<HANDLE>(0x1110);
const HANDLE kThread = reinterpret_cast<HANDLE>(0x2220);

std::string Utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
  std::string bytes(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &bytes[0], size, NULL, NULL);
  bytes.resize(size - 1);
  return bytes;
}

BOOL WINAPI FakeCreateProcess(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES,
                              LPSECURITY_ATTRIBUTES, BOOL inherit, DWORD flags, LPVOID environment,
                              LPCWSTR directory, LPSTARTUPINFOW startup,
                              LPPROCESS_INFORMATION information) {
  ++Process.calls;
  Process.application = application != NULL ? Utf8(application) : "<none>";
  Process.commandLine = Utf8(commandLine);
  Process.wideCommandLine = commandLine;
  Process.inherit = inherit;
  Process.flags = flags;
  Process.hadEnvironment = environment != NULL;
  Process.directory = Utf8(directory);
  Process.startup = *startup;
  if (Process.fail) {
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return FALSE;
  }
  information->hProcess = kProcess;
  information->hThread = kThread;
  return TRUE;
}
DWORD WINAPI FakeWait(DWORD count, const HANDLE* handles, BOOL all, DWORD timeout, DWORD mask) {
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(handles[0], kProcess);
  EXPECT_FALSE(all);
  Process.waitedFor = timeout;
  Process.wakeMask = mask;
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
DWORD WINAPI FakeShortPath(LPCWSTR, LPWSTR buffer, DWORD size) {
  lstrcpynW(buffer, ShortFolder.c_str(), size);
  return static_cast<DWORD>(ShortFolder.size());
}
LPWSTR WINAPI FakeCommandLine() {
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
    ShortFolder = L"C:\\PROGRA~1\\Kit\\";
    OwnCommandLine = L"\"C:\\Program Files\\Kit\\setup.exe\" /q";
    Platform.CreateProcessW = FakeCreateProcess;
    Platform.MsgWaitForMultipleObjects = FakeWait;
    Platform.GetExitCodeProcess = FakeExitCode;
    Platform.CloseHandle = FakeClose;
    Platform.GetShortPathNameW = FakeShortPath;
    Platform.GetCommandLineW = FakeCommandLine;
  }
  ScopedPlatform platform_;
};

// The second stage runs from the work directory with the installer's short
// folder and its own command line unchanged (arguments the ANSI code page
// cannot hold included), visibly, inheriting no handle; the run waits
// without a time limit and both handles are closed. Its exit code, even -1,
// is handed back as having run.
TEST_F(LaunchTest, CommandLineAndStart) {
  Process.exitCode = 0xFFFFFFFF;
  OwnCommandLine = L"\"C:\\Program Files\\Kit\\setup.exe\" /q Плік.txt";
  BoxScript boxes;
  bool started = false;
  EXPECT_EQ(LaunchSecondStage("C:\\work", kFolder, &started), -1);
  EXPECT_TRUE(started);
  EXPECT_TRUE(boxes.texts().empty());
  ASSERT_EQ(Process.calls, 1);
  EXPECT_EQ(Process.application, "C:\\work\\MERVOLT.EXE");
  // (Outside the macro, which would also make a narrow string of it.)
  const std::wstring expected =
      L"C:\\work\\MERVOLT.EXE -i=0x3D7B1,C:\\PROGRA~1\\Kit\\ \"C:\\Program Files\\Kit\\setup.exe\" /q Плік.txt";
  EXPECT_EQ(Process.wideCommandLine, expected);
  EXPECT_EQ(Process.directory, "C:\\work");
  EXPECT_FALSE(Process.inherit);
  EXPECT_EQ(Process.flags, 0u);
  EXPECT_FALSE(Process.hadEnvironment);
  EXPECT_EQ(Process.startup.dwFlags, 0x21u);
  EXPECT_EQ(Process.startup.wShowWindow, SW_SHOWNORMAL);
  EXPECT_EQ(Process.startup.cb, sizeof(STARTUPINFOW));
  EXPECT_EQ(Process.waitedFor, INFINITE);
  EXPECT_EQ(Process.wakeMask, static_cast<DWORD>(QS_ALLINPUT));
  EXPECT_EQ(Process.closed, std::vector<HANDLE>({kThread, kProcess}));
}

// A work directory with a space: the platform is given the program's full
// path, so it searches for nothing ("C:\\tmp.exe" first), and the path is
// quoted so that the second stage's first argument is the switch.
TEST_F(LaunchTest, WorkDirectoryWithSpace) {
  LaunchSecondStage("C:\\tmp dir\\dm_1.tmp", kFolder);
  EXPECT_EQ(Process.application, "C:\\tmp dir\\dm_1.tmp\\MERVOLT.EXE");
  EXPECT_EQ(Process.commandLine,
            "\"C:\\tmp dir\\dm_1.tmp\\MERVOLT.EXE\" -i=0x3D7B1,C:\\PROGRA~1\\Kit\\ "
            "\"C:\\Program Files\\Kit\\setup.exe\" /q");
  EXPECT_EQ(Process.directory, "C:\\tmp dir\\dm_1.tmp");
}

// Without a short form the long folder is used; without any folder, ".\\".
TEST_F(LaunchTest, InstallerFolderForms) {
  ShortFolder = L"";
  LaunchSecondStage("C:\\work\\", kFolder);
  EXPECT_EQ(Process.commandLine,
            "C:\\work\\MERVOLT.EXE -i=0x3D7B1,C:\\Program Files\\Kit\\ \"C:\\Program Files\\Kit\\setup.exe\" /q");
  LaunchSecondStage("C:\\work", "");
  EXPECT_EQ(Process.commandLine.substr(0, 36), "C:\\work\\MERVOLT.EXE -i=0x3D7B1,.\\ \"C");
}

// A command line of thousands of characters reaches the second stage whole;
// one beyond what the platform can start is refused, with a box, not cut.
TEST_F(LaunchTest, LongCommandLines) {
  ShortFolder = L"C:\\KIT\\";
  OwnCommandLine = L"setup.exe " + std::wstring(6000, L'a');
  LaunchSecondStage("C:\\w", kFolder);
  EXPECT_EQ(Process.wideCommandLine, L"C:\\w\\MERVOLT.EXE -i=0x3D7B1,C:\\KIT\\ " + OwnCommandLine);

  const std::wstring head = L"C:\\w\\MERVOLT.EXE -i=0x3D7B1,C:\\KIT\\ ";
  OwnCommandLine = std::wstring(32767 - head.size(), L'b');
  LaunchSecondStage("C:\\w", kFolder);
  EXPECT_EQ(Process.wideCommandLine.size(), 32767u);
  EXPECT_EQ(Process.calls, 2);

  OwnCommandLine += L"b";
  BoxScript boxes;
  bool started = true;
  EXPECT_EQ(LaunchSecondStage("C:\\w", kFolder, &started), -1);
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
  EXPECT_EQ(LaunchSecondStage("C:\\work", kFolder, &started), -1);
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
  EXPECT_EQ(RunProcessAndWait("C:\\d", "tool.exe", L" /x", false, &started), 3);
  EXPECT_TRUE(started);
  EXPECT_EQ(Process.application, "C:\\d\\tool.exe");
  EXPECT_EQ(Process.commandLine, "C:\\d\\tool.exe /x");
  EXPECT_EQ(Process.flags, static_cast<DWORD>(DETACHED_PROCESS));
  EXPECT_EQ(Process.startup.wShowWindow, SW_HIDE);
  EXPECT_EQ(Process.waitedFor, INFINITE);
}

// What a message sent to the installer's window from elsewhere got back.
LRESULT Answer;
LRESULT CALLBACK AnsweringWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_USER + 7)
    return 42;
  return DefWindowProcA(window, message, wParam, lParam);
}
DWORD WINAPI SendToWindow(void* window) {
  // As a second stage broadcasts a change of the environment, but with a
  // time limit, so that a wait that does not answer fails the test instead
  // of hanging it.
  DWORD_PTR result = 0;
  Answer = SendMessageTimeoutA(static_cast<HWND>(window), WM_USER + 7, 0, 0, SMTO_NORMAL, 3000, &result)
               ? static_cast<LRESULT>(result)
               : -1;
  return 0;
}
HANDLE Sender;
BOOL WINAPI SenderExitCode(HANDLE handle, LPDWORD code) {
  return GetExitCodeThread(handle, code);
}
BOOL WINAPI StartSender(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                        LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION information) {
  information->hProcess = Sender;
  information->hThread = kThread;
  return TRUE;
}

// While the installer waits for the second stage it answers its window's
// messages: a message sent to the window by another thread (the "process",
// here a thread that ends once answered) is answered, and the wait ends when
// the process does. A wait that only waited would answer nothing.
TEST_F(LaunchTest, WaitAnswersMessages) {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = AnsweringWindow;
  windowClass.hInstance = GetModuleHandleA(NULL);
  windowClass.lpszClassName = "LaunchTestWindow";
  RegisterClassA(&windowClass);
  HWND window = CreateWindowA("LaunchTestWindow", "", WS_POPUP, 0, 0, 1, 1, NULL, NULL,
                              windowClass.hInstance, NULL);
  ASSERT_NE(window, nullptr);
  Answer = 0;
  Sender = CreateThread(NULL, 0, SendToWindow, window, CREATE_SUSPENDED, NULL);
  Platform.CreateProcessW = StartSender;
  Platform.MsgWaitForMultipleObjects = PlatformReal().MsgWaitForMultipleObjects;
  Platform.WaitForSingleObject = PlatformReal().WaitForSingleObject;
  Platform.GetExitCodeProcess = SenderExitCode;
  ResumeThread(Sender);
  bool started = false;
  EXPECT_EQ(RunProcessAndWait("C:\\d", "tool.exe", L"", true, &started), 0);
  EXPECT_TRUE(started);
  EXPECT_EQ(Answer, 42);
  EXPECT_EQ(WaitForSingleObject(Sender, 0), WAIT_OBJECT_0);
  CloseHandle(Sender);
  DestroyWindow(window);
}

// A real start of a program that is not there.
TEST(LaunchRealTest, MissingSecondStage) {
  TempDir work;
  BoxScript boxes;
  bool started = true;
  EXPECT_EQ(LaunchSecondStage(work.path().c_str(), "C:\\", &started), -1);
  EXPECT_FALSE(started);
  ASSERT_EQ(boxes.texts().size(), 1u);
  const std::string expected = "Nie mogę uruchomić programu " + work.path() + "\\MERVOLT.EXE (2 ";
  EXPECT_TRUE(StartsWith(boxes.texts()[0], expected)) << boxes.texts()[0];
}

}  // namespace
