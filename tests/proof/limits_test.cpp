// Long paths and long command lines through the whole run (this test build
// is hardened: a stack overrun or an unchecked string or memory call would
// end it): a temporary folder near and beyond the path limit, an installer
// folder and a cabinet name beyond it, and command lines of 1,000 and
// 30,000 characters. Each case either works or fails with a clear box, and
// leaves nothing behind.

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/dialog.h"
#include "app/messages.h"
#include "app/progress.h"
#include "cabinet/binding.h"
#include "cabinet/extract.h"
#include "install/run.h"
#include "tests/support/boxes.h"
#include "tests/support/cab_writer.h"
#include "tests/support/dialog_driver.h"
#include "tests/support/platform_guard.h"
#include "tests/support/second_stage.h"
#include "tests/support/temp_dir.h"

namespace {

const char kFolderUnusable[] =
    "Nie można użyć folderu, w którym znajduje się instalator: jego nazwa jest za długa lub zawiera "
    "znaki, których ten system nie obsługuje.\n\nProszę przenieść instalator do folderu o krótkiej "
    "nazwie (np. C:\\Instalki) i uruchomić go ponownie.";

std::string Launched;
std::string ModulePath;
std::string CommandLine;

DWORD WINAPI LongModulePath(HMODULE, LPSTR buffer, DWORD size) {
  lstrcpynA(buffer, ModulePath.c_str(), size);
  return ModulePath.size() < size ? static_cast<DWORD>(ModulePath.size()) : size;
}
LPSTR WINAPI LongCommandLine() { return &CommandLine[0]; }

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

// The short form of a folder longer than the installer's buffer, when it
// has one; any other path is its own short form.
std::string ShortForm;
DWORD WINAPI ShortFormOfLongFolder(LPCSTR path, LPSTR buffer, DWORD size) {
  const std::string shortPath = strlen(path) > 300 ? ShortForm : path;
  if (shortPath.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  lstrcpynA(buffer, shortPath.c_str(), size);
  return shortPath.size() < size ? static_cast<DWORD>(shortPath.size()) : static_cast<DWORD>(shortPath.size() + 1);
}

// An installer in a folder whose path is longer than its buffer is never
// taken for another folder (a path cut to the buffer ends in an ancestor's
// separator): the folder's short form is used when it has one, else one box
// says the folder cannot be used and nothing runs. Nothing overruns.
TEST_F(LimitsTest, InstallerFolderBeyondTheLimit) {
  ScopedTempFolder temp;
  Platform.GetModuleFileNameA = LongModulePath;
  Platform.GetShortPathNameA = ShortFormOfLongFolder;
  for (size_t length : {259u, 300u, 309u, 310u, 1000u}) {
    for (const char* shortForm : {"", "C:\\KIT~1\\"}) {
      SCOPED_TRACE(std::to_string(length) + " " + shortForm);
      const std::string folder = "C:\\" + std::string(length - 13, 'f') + "\\";
      ModulePath = folder + "setup.exe";
      ShortForm = shortForm;
      const std::string told = folder.size() <= 300 ? folder : ShortForm;
      BoxScript boxes;
      Launched.clear();
      const int result = RunInstallation();
      if (told.empty()) {
        EXPECT_EQ(result, -1);
        EXPECT_EQ(boxes.texts(), std::vector<std::string>({kFolderUnusable}));
        EXPECT_TRUE(Launched.empty());
      } else {
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(boxes.texts().empty());
        EXPECT_NE(Launched.find("MERVOLT.EXE -i=0x3D7B1," + told + " "), std::string::npos) << Launched;
      }
      ExpectNothingLeft(temp.path());
    }
  }
}

// Command lines of 1,000 and 30,000 characters reach the second stage whole.
TEST_F(LimitsTest, LongCommandLines) {
  ScopedTempFolder temp;
  Platform.GetCommandLineA = LongCommandLine;
  for (size_t length : {1000u, 30000u}) {
    SCOPED_TRACE(length);
    CommandLine = "instalator.exe " + std::string(length - 15, 'q');
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

// The close box during the run: the dialog is told to end, but the run goes
// on to the end, and its own result is the final one.
TEST_F(LimitsTest, CloseBoxDuringExtraction) {
  ScopedTempFolder temp;
  Platform.SendMessageA = CloseDuringExtraction;
  Platform.EndDialog = RecordEnd;
  Endings.clear();
  ProgressMessages = 0;
  BoxScript boxes;
  const int result = RunInstallerDialog([](HWND dialog) {
    Dialog = dialog;
    PressButton(dialog, IDOK);
  });
  EXPECT_GT(ProgressMessages, 1);
  EXPECT_EQ(Endings, std::vector<INT_PTR>({0, 1}));
  EXPECT_EQ(result, 1);
  EXPECT_FALSE(Launched.empty());
  EXPECT_TRUE(boxes.texts().empty());
  ExpectNothingLeft(temp.path());
}

}  // namespace
