// The installation run as a sequence: what it shows and what it leaves in
// the temporary folder on each path that exists so far.

#include <string.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "app/messages.h"
#include "app/progress.h"
#include "install/run.h"
#include "tests/support/boxes.h"
#include "tests/support/cab_writer.h"
#include "tests/support/temp_dir.h"

namespace {

class RunTest : public testing::Test {
 protected:
  void SetUp() override {
    InstallerWindow = NULL;
    ProgressReset();
  }
  ScopedTempFolder temp_;
};

std::vector<std::string> DirsMade;
BOOL WINAPI RecordingCreateDirectory(LPCSTR path, LPSECURITY_ATTRIBUTES security) {
  DirsMade.push_back(path);
  return PlatformReal().CreateDirectoryA(path, security);
}

DWORD WINAPI NoTempPath(DWORD, LPSTR) {
  return 0;
}

// Without a temporary folder only its box is shown and nothing is made.
TEST_F(RunTest, NoTemporaryFolder) {
  BoxScript boxes;
  ScopedPlatform platform;
  Platform.GetTempPathA = NoTempPath;
  Platform.CreateDirectoryA = RecordingCreateDirectory;
  DirsMade.clear();
  EXPECT_EQ(RunInstallation(), -1);
  EXPECT_EQ(boxes.texts(), std::vector<std::string>({"B\xb3\xb9" "d przygotowania katalogu tymczasowego!"}));
  EXPECT_TRUE(DirsMade.empty());
}

// A temporary folder that cannot take a new directory gives the same box and
// leaves nothing behind.
TEST_F(RunTest, TemporaryFolderNotWritable) {
  BoxScript boxes;
  RemoveTreeForTest(temp_.path());  // TEMP now names a folder that is gone.
  EXPECT_EQ(RunInstallation(), -1);
  EXPECT_EQ(boxes.texts(), std::vector<std::string>({"Błąd przygotowania katalogu tymczasowego!"}));
  EXPECT_FALSE(PathExists(temp_.path()));
  MakeDir(temp_.path());
}

HMODULE WINAPI NoLibrary(LPCSTR) {
  SetLastError(ERROR_MOD_NOT_FOUND);
  return NULL;
}

// When the cabinet library cannot be bound its box is shown and the new work
// directory, made as dm_XXXX.tmp in the temporary folder, is removed again.
TEST_F(RunTest, LibraryMissingRemovesWorkDirectory) {
  BoxScript boxes;
  ScopedPlatform platform;
  Platform.CreateDirectoryA = RecordingCreateDirectory;
  Platform.LoadLibraryA = NoLibrary;
  DirsMade.clear();
  EXPECT_EQ(RunInstallation(), -1);
  EXPECT_EQ(boxes.texts(),
            std::vector<std::string>({"Do zainstalowania tej wersji potrzebna jest biblioteka "
                                      "CABINET.DLL!\n\nInstalacja zostanie przerwana."}));
  ASSERT_EQ(DirsMade.size(), 1u);
  EXPECT_EQ(DirsMade[0].find(temp_.path() + "dm_"), 0u) << DirsMade[0];
  EXPECT_EQ(DirsMade[0].substr(DirsMade[0].size() - 4), ".tmp");
  EXPECT_TRUE(temp_.Contents().empty());
}

// An installer built without a payload says so and removes its work
// directory (this test program carries no payload resource).
TEST_F(RunTest, NoPayload) {
  BoxScript boxes;
  EXPECT_EQ(RunInstallation(), -1);
  EXPECT_EQ(boxes.texts(), std::vector<std::string>({"B\xb3\xb9" "d kopiowania pliku instalacyjnego!"}));
  EXPECT_TRUE(temp_.Contents().empty());
}

std::string FakePayload;
std::string FakeInstallerPath;

HRSRC WINAPI PayloadFindResource(HMODULE module, LPCSTR name, LPCSTR type) {
  if (type == RT_RCDATA && name == MAKEINTRESOURCEA(45514))
    return reinterpret_cast<HRSRC>(1);
  return PlatformReal().FindResourceA(module, name, type);
}
DWORD WINAPI PayloadSize(HMODULE, HRSRC) { return static_cast<DWORD>(FakePayload.size()); }
HGLOBAL WINAPI PayloadLoad(HMODULE, HRSRC) { return reinterpret_cast<HGLOBAL>(1); }
LPVOID WINAPI PayloadLock(HGLOBAL) { return &FakePayload[0]; }
DWORD WINAPI InstallerPath(HMODULE, LPSTR buffer, DWORD size) {
  lstrcpynA(buffer, FakeInstallerPath.c_str(), size);
  return static_cast<DWORD>(FakeInstallerPath.size());
}

// The installer's resources give FakePayload as the payload, and its path
// is FakeInstallerPath.
void ServeFakePayload() {
  Platform.FindResourceA = PayloadFindResource;
  Platform.SizeofResource = PayloadSize;
  Platform.LoadResource = PayloadLoad;
  Platform.LockResource = PayloadLock;
  Platform.GetModuleFileNameA = InstallerPath;
}

// The payload is written as dmins.cab into the work directory, byte for
// byte, and the companions beside the installer are copied next to it;
// all of it goes again at the end of the run.
TEST_F(RunTest, PayloadAndCompanionsWritten) {
  TempDir medium;
  FakePayload = std::string("MSCF") + std::string(100000, 'c');
  FakeInstallerPath = medium / "setup.exe";
  WriteFileBytes(medium / "kavel.chm", "help");
  ScopedPlatform platform;
  ServeFakePayload();
  BoxScript boxes;
  std::vector<std::string> seen;
  boxes.WhileOpen([&](const BoxRecord&) {
    std::string work;
    for (const std::string& entry : temp_.Contents()) {
      if (entry.compare(0, 3, "dm_") == 0 && entry.find('\\') == std::string::npos)
        work = temp_.path() + entry;
    }
    ASSERT_FALSE(work.empty());
    seen = ListTree(work);
    EXPECT_EQ(ReadFileBytes(work + "\\dmins.cab"), FakePayload);
    EXPECT_EQ(Progress.mode, -1);
  });
  EXPECT_EQ(RunInstallation(), -1);
  EXPECT_EQ(seen, std::vector<std::string>({"dmins.cab", "kavel.chm"}));
  EXPECT_EQ(boxes.texts(), std::vector<std::string>(
                              {"To nie jest archiwum .CAB", "Nie można rozpakować zbiorów instalacyjnych!"}));
  for (const std::string& entry : temp_.Contents())
    EXPECT_NE(entry.compare(0, 3, "dm_"), 0) << entry;
}

std::string WorkDirectory(const ScopedTempFolder& temp) {
  for (const std::string& entry : temp.Contents()) {
    if (entry.compare(0, 3, "dm_") == 0 && entry.find('\\') == std::string::npos)
      return temp.path() + entry;
  }
  return std::string();
}

int Launches;
BOOL WINAPI FakeLaunch(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                       LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION information) {
  ++Launches;
  information->hProcess = GetCurrentProcess();  // Signalled never: the wait is faked too.
  information->hThread = GetCurrentThread();
  return TRUE;
}
DWORD WINAPI NoWait(HANDLE, DWORD) { return WAIT_OBJECT_0; }
BOOL WINAPI ExitedWithMinusOne(HANDLE, LPDWORD code) {
  *code = 0xFFFFFFFF;
  return TRUE;
}

std::vector<std::string> SeenAtHide;
std::string SeenWorkDir;
BOOL WINAPI RecordHide(HWND, int command) {
  if (command == SW_HIDE)
    SeenAtHide = ListTree(SeenWorkDir);
  return TRUE;
}

// A payload that is the first volume of a set: each further volume is asked
// for by its path in the work directory, and once it is put there every file
// of every volume is unpacked before the dialog hides. The second stage's
// exit code, even -1, does not make the run fail.
TEST_F(RunTest, MultiVolumePayload) {
  TempDir medium;
  MakeDir(medium / "src");
  std::string big(120000, '\0');
  for (size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<char>(i * 7 / 3);
  WriteFileBytes(medium / "src\\big.bin", big);
  WriteFileBytes(medium / "src\\MERVOLT.EXE", "second stage");
  WriteFileBytes(medium / "src\\last.txt", "last");
  ASSERT_EQ(RunCabarc(medium / "src", "-m none -d 60000 N ..\\vol*.cab big.bin MERVOLT.EXE last.txt"), 0);
  FakePayload = ReadFileBytes(medium / "vol1.cab");
  FakeInstallerPath = medium / "setup.exe";
  ScopedPlatform platform;
  ServeFakePayload();
  Platform.ShowWindow = RecordHide;
  Platform.CreateProcessA = FakeLaunch;
  Platform.WaitForSingleObject = NoWait;
  Platform.GetExitCodeProcess = ExitedWithMinusOne;
  SeenAtHide.clear();
  Launches = 0;
  BoxScript boxes;
  std::vector<std::string> asked;
  boxes.WhileOpen([&](const BoxRecord& box) {
    SeenWorkDir = WorkDirectory(temp_);
    asked.push_back(box.text);
    const std::string volume = "vol" + std::to_string(asked.size() + 1) + ".cab";
    WriteFileBytes(SeenWorkDir + "\\" + volume, ReadFileBytes(medium / volume));
  });
  EXPECT_EQ(RunInstallation(), 0);
  EXPECT_EQ(Launches, 1);
  ASSERT_GE(asked.size(), 2u);
  EXPECT_EQ(asked[0], "Prosz\xea w\xb3o\xbfy\xe6 dysk z plikiem " + SeenWorkDir + "\\vol2.cab.");
  std::vector<std::string> expected = {"MERVOLT.EXE", "big.bin", "dmins.cab", "last.txt"};
  for (size_t i = 2; i <= asked.size() + 1; ++i)
    expected.push_back("vol" + std::to_string(i) + ".cab");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(SeenAtHide, expected);
  EXPECT_EQ(WorkDirectory(temp_), "");
  EXPECT_EQ(asked.size(), 2u);
}

}  // namespace
