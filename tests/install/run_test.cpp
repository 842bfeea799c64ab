// The installation run as a sequence: what it shows and what it leaves in
// the temporary folder on each path that exists so far.

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include "install/run.h"
#include "tests/support/boxes.h"
#include "tests/support/cab_writer.h"
#include "tests/support/fake_payload.h"
#include "tests/support/platform_guard.h"
#include "tests/support/temp_dir.h"
#include "ui/messages.h"
#include "ui/progress.h"

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

// The elevation the token reports: 1 or 0, or -1 when the question fails.
int Elevation = 1;
BOOL WINAPI ScriptedTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID info,
                                     DWORD size, PDWORD length) {
  if (kind != TokenElevation)
    return PlatformReal().GetTokenInformation(token, kind, info, size, length);
  if (Elevation < 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  static_cast<TOKEN_ELEVATION*>(info)->TokenIsElevated = Elevation;
  *length = sizeof(TOKEN_ELEVATION);
  return TRUE;
}

// A descriptor as text: owner and group left out, DACL and label.
std::string DescriptorText(PSECURITY_DESCRIPTOR descriptor) {
  char* text = NULL;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION, &text,
          NULL))
    return "<" + std::to_string(GetLastError()) + ">";
  const std::string result = text;
  LocalFree(text);
  return result;
}

// What the last directory was made with: its descriptor as text, or "none".
std::string GivenDescriptor;
BOOL WINAPI DescribingCreateDirectory(LPCSTR path, LPSECURITY_ATTRIBUTES security) {
  GivenDescriptor = security != NULL ? DescriptorText(security->lpSecurityDescriptor) : "none";
  return PlatformReal().CreateDirectoryA(path, security);
}

// The descriptor the directory `path` has, read back from it.
std::string StoredDescriptor(const std::string& path) {
  std::vector<char> buffer(4096);
  DWORD needed = 0;
  if (!GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                        buffer.data(), buffer.size(), &needed))
    return "<" + std::to_string(GetLastError()) + ">";
  return DescriptorText(buffer.data());
}

// The process's user as SDDL text.
std::string UserSid() {
  HANDLE token;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  std::vector<BYTE> info(512);
  DWORD length;
  GetTokenInformation(token, TokenUser, info.data(), info.size(), &length);
  CloseHandle(token);
  char* sid = NULL;
  ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid, &sid);
  const std::string result = sid != NULL ? sid : "?";
  LocalFree(sid);
  return result;
}

DWORD WINAPI NoTempPath(DWORD, LPWSTR) {
  return 0;
}

// Elevated, the work directory is made, not later changed, so that only
// SYSTEM and Administrators may change it; the user and OWNER RIGHTS may
// read and run; all of it passed on to what is made inside, and labelled
// High. The directory itself is read back. Not elevated, it is made as any
// directory; when elevation cannot be told, none is made.
TEST_F(RunTest, WorkDirectoryPermissions) {
  ScopedPlatform platform;
  Platform.GetTokenInformation = ScriptedTokenInformation;
  Platform.CreateDirectoryA = DescribingCreateDirectory;
  char dir[MAX_PATH];
  PSECURITY_DESCRIPTOR wanted = NULL;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
      ("D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;" + UserSid() +
       ")(A;OICI;0x1200a9;;;OW)S:(ML;OICI;NW;;;HI)").c_str(),
      SDDL_REVISION_1, &wanted, NULL));
  const std::string expected = DescriptorText(wanted);
  LocalFree(wanted);

  Elevation = 1;
  ASSERT_EQ(MakeWorkDirectory(dir), dir);
  EXPECT_EQ(GivenDescriptor, expected);
  if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == NULL) {
    EXPECT_EQ(StoredDescriptor(dir), expected);
  } else {
    // Wine keeps no descriptor for a directory (it derives one from the Unix
    // mode, and enforces none): what it gives back is shown, not checked.
    printf("Wine, descriptor read back: %s\n", StoredDescriptor(dir).c_str());
  }
  EXPECT_TRUE(RemoveDirectoryA(dir));

  Elevation = 0;
  ASSERT_EQ(MakeWorkDirectory(dir), dir);
  EXPECT_EQ(GivenDescriptor, "none");
  EXPECT_TRUE(RemoveDirectoryA(dir));

  Elevation = -1;
  GivenDescriptor.clear();
  EXPECT_EQ(MakeWorkDirectory(dir), nullptr);
  EXPECT_EQ(GivenDescriptor, "");
}

// The temporary folder as the platform names it in UTF-16, and its short
// form ("" for none).
std::wstring TempWide, TempShort;
DWORD WINAPI TempFolderNamed(DWORD size, LPWSTR buffer) {
  lstrcpynW(buffer, TempWide.c_str(), size);
  return static_cast<DWORD>(TempWide.size());
}
DWORD WINAPI ShortFormOfTemp(LPCWSTR path, LPWSTR buffer, DWORD size) {
  if (path != TempWide)
    return PlatformReal().GetShortPathNameW(path, buffer, size);
  if (TempShort.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  lstrcpynW(buffer, TempShort.c_str(), size);
  return static_cast<DWORD>(TempShort.size());
}

// A temporary folder the ANSI code page cannot name (a user's name in
// Cyrillic on a Polish system) is used through its short form when that
// is one the code page holds; without one, or without a temporary folder at
// all, only the work-directory box is shown and nothing is made.
TEST_F(RunTest, TemporaryFolderForms) {
  ScopedPlatform platform;
  Platform.GetTempPathW = TempFolderNamed;
  Platform.GetShortPathNameW = ShortFormOfTemp;
  Platform.CreateDirectoryA = RecordingCreateDirectory;
  // The test's temporary folder stands for the short form (its path is
  // ASCII).
  const std::string path = temp_.path();
  const std::wstring usable(path.begin(), path.end());
  const struct {
    std::wstring shortForm;
    bool made;
  } cases[] = {{usable, true}, {L"", false}, {L"C:\\users\\Олекс~1\\Temp\\", false}};
  TempWide = L"C:\\users\\Олександр\\Temp\\";
  for (const auto& c : cases) {
    TempShort = c.shortForm;
    DirsMade.clear();
    char dir[MAX_PATH];
    EXPECT_EQ(MakeWorkDirectory(dir) != nullptr, c.made);
    EXPECT_EQ(DirsMade.size(), c.made ? 1u : 0u);
    if (c.made)
      RemoveDirectoryA(dir);
  }
  Platform.GetTempPathW = NoTempPath;
  BoxScript boxes;
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
BOOL WINAPI FakeLaunch(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                       LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION information) {
  ++Launches;
  information->hProcess = GetCurrentProcess();  // Signalled never: the wait is faked too.
  information->hThread = GetCurrentThread();
  return TRUE;
}
DWORD WINAPI NoWait(DWORD, const HANDLE*, BOOL, DWORD, DWORD) { return WAIT_OBJECT_0; }
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

// A payload that is the first volume of a set: a further volume beside the
// installer is copied into the work directory without a word; one that is
// not there is asked for there, and used once it is put there. Every file of
// every volume is unpacked before the dialog hides. The second stage's exit
// code, even -1, does not make the run fail.
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
  const std::string third = ReadFileBytes(medium / "vol3.cab");
  DeleteFileA((medium / "vol3.cab").c_str());
  ScopedPlatform platform;
  ServeFakePayload();
  Platform.ShowWindow = RecordHide;
  Platform.CreateProcessW = FakeLaunch;
  Platform.MsgWaitForMultipleObjects = NoWait;
  Platform.GetExitCodeProcess = ExitedWithMinusOne;
  SeenAtHide.clear();
  Launches = 0;
  BoxScript boxes;
  boxes.WhileOpen([&](const BoxRecord&) {
    SeenWorkDir = WorkDirectory(temp_);
    WriteFileBytes(medium / "vol3.cab", third);
    // Asked for again and again, a volume is not looked for where it was
    // put: end the run rather than the test.
    if (boxes.boxes().size() > 3) {
      WriteFileBytes(SeenWorkDir + "\\vol2.cab", ReadFileBytes(medium / "vol2.cab"));
      WriteFileBytes(SeenWorkDir + "\\vol3.cab", third);
    }
  });
  EXPECT_EQ(RunInstallation(), 0);
  EXPECT_EQ(Launches, 1);
  EXPECT_EQ(boxes.texts(), std::vector<std::string>({"Prosz\xea w\xb3o\xbfy\xe6 dysk z plikiem " + medium / "vol3.cab" + "."}));
  // The further volumes were read where they lie: the work directory holds
  // the first volume and the unpacked files, nothing else.
  EXPECT_EQ(SeenAtHide, std::vector<std::string>({"MERVOLT.EXE", "big.bin", "dmins.cab", "last.txt"}));
  EXPECT_EQ(WorkDirectory(temp_), "");
}

}  // namespace
