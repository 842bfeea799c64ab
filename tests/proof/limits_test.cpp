// Long paths and long command lines through the whole run (this test build
// is hardened: a stack overrun or an unchecked string or memory call would
// end it): a temporary folder near and beyond the path limit, an installer
// folder and a cabinet name beyond it, and command lines of 1,000 and
// 30,000 characters. Each case either works or fails with a clear box, and
// leaves nothing behind.

#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cabinet/binding.h"
#include "cabinet/extract.h"
#include "install/payload.h"
#include "install/run.h"
#include "tests/support/boxes.h"
#include "tests/support/cab_writer.h"
#include "tests/support/dialog_driver.h"
#include "tests/support/platform_guard.h"
#include "tests/support/second_stage.h"
#include "tests/support/temp_dir.h"
#include "ui/messages.h"
#include "ui/progress.h"

namespace {

const char kFolderUnusable[] =
    "Nie można użyć folderu, w którym znajduje się instalator: jego nazwa jest za długa lub zawiera "
    "znaki, których ten system nie obsługuje.\n\nProszę przenieść instalator do folderu o krótkiej "
    "nazwie (np. C:\\Instalki) i uruchomić go ponownie.";

std::string Launched;
std::wstring ModulePath;
std::string CommandLine;

std::wstring Wide(const std::string& text) {
  std::wstring wide(text.size() + 1, L'\0');
  wide.resize(MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], static_cast<int>(wide.size())) - 1);
  return wide;
}

DWORD WINAPI LongModulePath(HMODULE, LPWSTR buffer, DWORD size) {
  lstrcpynW(buffer, ModulePath.c_str(), size);
  return ModulePath.size() < size ? static_cast<DWORD>(ModulePath.size()) : size;
}
std::wstring WideCommandLine;
LPWSTR WINAPI LongCommandLine() { return &WideCommandLine[0]; }

class LimitsTest : public testing::Test {
 protected:
  void SetUp() override {
    InstallerWindow = NULL;
    InstallerModule = GetModuleHandleA(NULL);
    ProgressReset();
    Launched.clear();
    FakeSecondStage([](const std::string& commandLine, const std::string&) { Launched = commandLine; });
  }
  // Nothing of a run may stay in `temp`.
  static void ExpectNothingLeft(const std::string& temp) {
    for (const std::string& entry : ListTree(temp))
      EXPECT_NE(entry.compare(0, 3, "dm_"), 0) << "left: " << entry;
  }
  ScopedPlatform platform_;
};

// A temporary folder whose path is long: up to where the work directory and
// the staging directory still fit the run works; beyond, one box says why,
// and nothing stays.
TEST_F(LimitsTest, TemporaryFolderNearTheLimit) {
  TempDir root;
  for (size_t length : {180u, 200u, 215u, 225u, 232u, 236u, 240u, 244u, 247u}) {
    SCOPED_TRACE(length);
    std::string temp = root.path();
    while (temp.size() < length) {
      temp += "\\" + std::string(std::min<size_t>(40, length - temp.size() - 1), 't');
      if (temp.size() > length)
        temp.resize(length);
      CreateDirectoryA(temp.c_str(), NULL);
    }
    ASSERT_EQ(GetFileAttributesA(temp.c_str()) & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY) << temp;
    SetEnvironmentVariableA("TMP", temp.c_str());
    SetEnvironmentVariableA("TEMP", temp.c_str());
    BoxScript boxes;
    Launched.clear();
    const int result = RunInstallation();
    if (result == 0) {
      EXPECT_TRUE(boxes.texts().empty());
      EXPECT_FALSE(Launched.empty());
    } else {
      EXPECT_EQ(result, -1);
      ASSERT_FALSE(boxes.texts().empty());
      EXPECT_TRUE(Launched.empty());
    }
    ExpectNothingLeft(temp);
    std::string told;
    for (const std::string& box : boxes.texts())
      told += (told.empty() ? "" : " / ") + box;
    printf("temporary folder of %zu characters: %s%s\n", length, result == 0 ? "installed" : "refused: ",
           told.c_str());
  }
  // Beyond the limit the folder cannot even be named.
  const std::string beyond = root.path() + "\\" + std::string(300, 'x');
  SetEnvironmentVariableA("TMP", beyond.c_str());
  SetEnvironmentVariableA("TEMP", beyond.c_str());
  BoxScript boxes;
  EXPECT_EQ(RunInstallation(), -1);
  EXPECT_EQ(boxes.texts(), std::vector<std::string>({"Błąd przygotowania katalogu tymczasowego!"}));
  SetEnvironmentVariableA("TMP", NULL);
  SetEnvironmentVariableA("TEMP", NULL);
}

// The short form of the installer's folder, when it has one; any other
// path is its own short form.
std::wstring InstallerFolder, ShortForm;
DWORD WINAPI ShortFormOfTheFolder(LPCWSTR path, LPWSTR buffer, DWORD size) {
  const std::wstring shortPath = path == InstallerFolder ? ShortForm : path;
  if (shortPath.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  lstrcpynW(buffer, shortPath.c_str(), size);
  return shortPath.size() < size ? static_cast<DWORD>(shortPath.size()) : static_cast<DWORD>(shortPath.size() + 1);
}

// An installer in a folder that the ANSI code page cannot name (too long
// for the buffer, or with letters the code page lacks: a Cyrillic folder on
// a Polish system) is never taken for another folder, nor named with "?":
// the folder's short form is used when it has one that the code page holds,
// else one box says the folder cannot be used and nothing runs. Nothing
// overruns.
TEST_F(LimitsTest, InstallerFolderForms) {
  ScopedTempFolder temp;
  Platform.GetModuleFileNameW = LongModulePath;
  Platform.GetShortPathNameW = ShortFormOfTheFolder;
  const std::wstring cyrillic = L"C:\\Instalki\\Інсталятор\\";
  const struct {
    std::wstring folder, shortForm;
    std::string told;  // Empty: the folder box.
  } cases[] = {
      {L"C:\\" + std::wstring(246, L'f') + L"\\", L"", "C:\\" + std::string(246, 'f') + "\\"},
      {L"C:\\" + std::wstring(296, L'f') + L"\\", L"", "C:\\" + std::string(296, 'f') + "\\"},
      {L"C:\\" + std::wstring(297, L'f') + L"\\", L"", ""},
      {L"C:\\" + std::wstring(297, L'f') + L"\\", L"C:\\KIT~1\\", "C:\\KIT~1\\"},
      {L"C:\\" + std::wstring(987, L'f') + L"\\", L"", ""},
      {L"C:\\" + std::wstring(987, L'f') + L"\\", L"C:\\KIT~1\\", "C:\\KIT~1\\"},
      {cyrillic, L"", ""},
      {cyrillic, L"C:\\INSTAL~1\\Інст~1\\", ""},
      {cyrillic, L"C:\\INSTAL~1\\____~ABC\\", "C:\\INSTAL~1\\____~ABC\\"},
      {L"C:\\Instalki\\Zażółć\\", L"", "C:\\Instalki\\Zażółć\\"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.folder.size() << " characters, told " << c.told);
    InstallerFolder = c.folder;
    ModulePath = c.folder + L"setup.exe";
    ShortForm = c.shortForm;
    BoxScript boxes;
    Launched.clear();
    const int result = RunInstallation();
    if (c.told.empty()) {
      EXPECT_EQ(result, -1);
      EXPECT_EQ(boxes.texts(), std::vector<std::string>({kFolderUnusable}));
      EXPECT_TRUE(Launched.empty());
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_TRUE(boxes.texts().empty());
      EXPECT_NE(Launched.find("MERVOLT.EXE -i=0x3D7B1," + c.told + " "), std::string::npos) << Launched;
    }
    ExpectNothingLeft(temp.path());
  }
}

// Command lines of 1,000 and 30,000 characters reach the second stage whole.
TEST_F(LimitsTest, LongCommandLines) {
  ScopedTempFolder temp;
  Platform.GetCommandLineW = LongCommandLine;
  for (size_t length : {1000u, 30000u}) {
    SCOPED_TRACE(length);
    CommandLine = "instalator.exe " + std::string(length - 15, 'q');
    WideCommandLine = Wide(CommandLine);
    BoxScript boxes;
    EXPECT_EQ(RunInstallation(), 0);
    EXPECT_TRUE(boxes.texts().empty());
    ASSERT_GE(Launched.size(), CommandLine.size());
    EXPECT_EQ(Launched.substr(Launched.size() - CommandLine.size()), CommandLine);
    ExpectNothingLeft(temp.path());
  }
}

// A cabinet that names a next volume too long for a path is damaged: told
// so, nothing unpacked.
TEST_F(LimitsTest, NextCabinetNameBeyondTheLimit) {
  ASSERT_EQ(BindCabinetLibrary(), 1);
  TempDir medium, target;
  for (size_t length : {200u, 250u, 255u, 300u}) {
    SCOPED_TRACE(length);
    std::vector<CabEntry> entries(1);
    entries[0].name = "a.txt";
    entries[0].data = "a";
    CabLayout layout;
    layout.next = std::string(length, 'v');
    WriteFileBytes(medium / "one.cab", BuildCabinet(entries, layout));
    BoxScript boxes;
    boxes.Answer({IDCANCEL, IDYES});
    const int result = ExtractCabinetSet((medium / "one.cab").c_str(), target.path().c_str(), NULL);
    EXPECT_EQ(result, -1);
    ASSERT_FALSE(boxes.texts().empty());
    EXPECT_EQ(ListTree(target.path()), std::vector<std::string>());
  }
  UnbindCabinetLibrary();
}

HWND Dialog;
int ProgressMessages;
LRESULT WINAPI CloseDuringExtraction(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  // The close box, pressed while the bar moves through the extraction.
  if (message == 0x402 && Progress.mode == -1 && ++ProgressMessages == 1)  // PBM_SETPOS
    PostMessageA(Dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  return PlatformReal().SendMessageA(window, message, wParam, lParam);
}

std::vector<INT_PTR> Endings;
BOOL WINAPI RecordEnd(HWND dialog, INT_PTR result) {
  Endings.push_back(result);
  return PlatformReal().EndDialog(dialog, result);
}

// The close box during the extraction of the real payload asks whether to
// stop; "Tak" stops the run: the dialog ends with 0, no second stage,
// nothing left.
TEST_F(LimitsTest, CloseBoxDuringExtraction) {
  ScopedTempFolder temp;
  Platform.SendMessageA = CloseDuringExtraction;
  Platform.EndDialog = RecordEnd;
  Endings.clear();
  ProgressMessages = 0;
  BoxScript boxes;
  boxes.Answer({IDYES});
  const int result = RunInstallerDialog([](HWND dialog) {
    Dialog = dialog;
    PressButton(dialog, IDOK);
  });
  EXPECT_GT(ProgressMessages, 1);
  EXPECT_EQ(Endings, std::vector<INT_PTR>({0}));
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(Launched.empty());
  EXPECT_EQ(boxes.texts(), std::vector<std::string>({"Na pewno przerwa\xe6 operacj\xea?"}));
  ExpectNothingLeft(temp.path());
}

}  // namespace
