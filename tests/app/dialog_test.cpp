// The installer dialog driven in-process: exit codes, buttons, the icon rule,
// and the run started by "Instaluj".

#include <string.h>

#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/dialog.h"
#include "app/resource.h"
#include "tests/support/boxes.h"
#include "tests/support/cab_writer.h"
#include "tests/support/dialog_driver.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_payload.h"
#include "tests/support/second_stage.h"
#include "tests/support/temp_dir.h"
#include "ui/messages.h"
#include "ui/progress.h"

namespace {

class DialogTest : public testing::Test {
 protected:
  void SetUp() override {
    InstallerWindow = NULL;
    ProgressReset();
  }
  ScopedTempFolder temp_;
};

// The control's own visibility, whatever its parent's.
bool HasVisibleStyle(HWND control) {
  return (GetWindowLongA(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

// "Anuluj", Escape and the close box before a run end with 0 and run nothing.
TEST_F(DialogTest, CancelBeforeRunGivesZero) {
  const struct { const char* how; std::function<void(HWND)> act; } cases[] = {
      {"Anuluj", [](HWND d) { PressButton(d, IDCANCEL); }},
      {"Escape", [](HWND d) { PostMessageA(d, WM_KEYDOWN, VK_ESCAPE, 0); }},
      {"close box", [](HWND d) { PostMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0); }},
  };
  for (const auto& c : cases) {
    BoxScript boxes;
    EXPECT_EQ(RunInstallerDialog(c.act), 0) << c.how;
    EXPECT_TRUE(boxes.boxes().empty()) << c.how;
    EXPECT_TRUE(temp_.Contents().empty()) << c.how;
  }
}

// "Instaluj" (and Enter, the default button) hides both buttons, shows the
// bar and runs the installation; a failed run ends the dialog with 0 after
// its boxes, which the dialog owns.
TEST_F(DialogTest, InstallRunsTheInstallation) {
  const struct { const char* how; std::function<void(HWND)> act; } cases[] = {
      {"Instaluj", [](HWND d) { PressButton(d, IDOK); }},
      {"Enter", [](HWND d) { PostMessageA(d, WM_KEYDOWN, VK_RETURN, 0); }},
  };
  for (const auto& c : cases) {
    BoxScript boxes;
    bool checked = false;
    boxes.WhileOpen([&checked](const BoxRecord& box) {
      if (checked)
        return;
      checked = true;
      EXPECT_NE(box.owner, nullptr);
      EXPECT_EQ(box.owner, InstallerWindow);
      EXPECT_FALSE(HasVisibleStyle(GetDlgItem(box.owner, IDOK)));
      EXPECT_FALSE(HasVisibleStyle(GetDlgItem(box.owner, IDCANCEL)));
      EXPECT_TRUE(HasVisibleStyle(GetDlgItem(box.owner, IDC_PROGRESS)));
    });
    EXPECT_EQ(RunInstallerDialog(c.act), 0) << c.how;
    EXPECT_TRUE(checked) << c.how << ": the run showed no box";
    EXPECT_TRUE(temp_.Contents().empty()) << c.how;
  }
}

// The steps of a run at which the user closes the dialog, and how.
enum Step { kWriting, kUnpacking, kMoving, kSecondStage };
Step CloseAt;
std::function<void(HWND)> CloseAction;
bool Closed;
bool Answered;
bool BarPainted;     // The dialog repainted with the bar in the buttons' place.
bool WritingBegun;
bool PaintedBeforeWriting;
int WritesAfterAnswer;
int Launches;
FakeClock* Clock;

// Closes the dialog when the run has reached `step`, once; the clock moves
// on, so that the next chance to serve the dialog takes it.
void CloseAtStep(Step step) {
  if (step != CloseAt || Closed)
    return;
  Closed = true;
  CloseAction(InstallerWindow);
  Clock->Advance(1000);
}
BOOL WINAPI NotingUpdateWindow(HWND window) {
  if (window == InstallerWindow && HasVisibleStyle(GetDlgItem(window, IDC_PROGRESS)) &&
      !HasVisibleStyle(GetDlgItem(window, IDOK)))
    BarPainted = true;
  return PlatformReal().UpdateWindow(window);
}
BOOL WINAPI ClosingWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  if (!WritingBegun) {
    WritingBegun = true;
    PaintedBeforeWriting = BarPainted;
  }
  if (Answered)
    ++WritesAfterAnswer;
  CloseAtStep(kWriting);
  return PlatformReal().WriteFile(file, data, size, written, overlapped);
}
HANDLE WINAPI ClosingCreateFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE templateFile) {
  if (strstr(path, "\\cab") != NULL && strstr(path, "big.bin") != NULL)
    CloseAtStep(kUnpacking);
  return PlatformReal().CreateFileA(path, access, share, security, disposition, flags, templateFile);
}
BOOL WINAPI ClosingMoveFile(LPCSTR from, LPCSTR to) {
  CloseAtStep(kMoving);
  return PlatformReal().MoveFileA(from, to);
}

// The bar stands in the buttons' place, painted, before the first byte is
// written. Closing the dialog during a run (the close box, Alt+F4 or Escape)
// asks whether to stop. "Tak" stops the run where it stands, before another byte
// is written: no second stage, nothing left, exit 0. "Nie" carries on to
// the second stage. Hidden while the second stage runs, the dialog asks
// nothing.
TEST_F(DialogTest, ClosingDuringRunAsksToStop) {
  const auto closeBox = [](HWND d) { PostMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0); };
  const auto altF4 = [](HWND d) { PostMessageA(d, WM_SYSKEYDOWN, VK_F4, 1 << 29); };
  const auto escape = [](HWND d) { PostMessageA(d, WM_KEYDOWN, VK_ESCAPE, 0); };
  const struct {
    const char* how;
    Step step;
    std::function<void(HWND)> close;
    int answer;
    int result;
  } cases[] = {
      {"close box while writing, Tak", kWriting, closeBox, IDYES, 0},
      {"close box while writing, Nie", kWriting, closeBox, IDNO, 1},
      {"Escape while unpacking, Tak", kUnpacking, escape, IDYES, 0},
      {"Escape while unpacking, Nie", kUnpacking, escape, IDNO, 1},
      {"Alt+F4 while moving, Tak", kMoving, altF4, IDYES, 0},
      {"Alt+F4 while moving, Anuluj", kMoving, altF4, IDCANCEL, 1},
      {"close box while the second stage runs", kSecondStage, closeBox, 0, 1},
  };
  TempDir medium;
  const std::string big(1000000, 'b');
  FakePayload = BuildCabinet({{"big.bin", big}, {"MERVOLT.EXE", "second stage"}, {"last.txt", "last"}},
                             CabLayout());
  FakeInstallerPath = medium / "setup.exe";
  for (const auto& c : cases) {
    ScopedPlatform platform;
    ServeFakePayload();
    FakeClock clock;
    Clock = &clock;
    Platform.WriteFile = ClosingWriteFile;
    Platform.CreateFileA = ClosingCreateFile;
    Platform.MoveFileA = ClosingMoveFile;
    Platform.UpdateWindow = NotingUpdateWindow;
    BarPainted = WritingBegun = PaintedBeforeWriting = false;
    Launches = 0;
    FakeSecondStage([](const std::string&, const std::string&) {
      ++Launches;
      CloseAtStep(kSecondStage);
      PumpMessages();  // As the wait for the second stage does.
    });
    CloseAt = c.step;
    CloseAction = c.close;
    Closed = Answered = false;
    WritesAfterAnswer = 0;
    ProgressReset();
    BoxScript boxes;
    boxes.Answer({c.answer});
    boxes.WhileOpen([](const BoxRecord&) { Answered = true; });
    EXPECT_EQ(RunInstallerDialog([](HWND d) { PressButton(d, IDOK); }), c.result) << c.how;
    EXPECT_TRUE(Closed) << c.how;
    EXPECT_TRUE(PaintedBeforeWriting) << c.how;
    if (c.step == kSecondStage) {
      EXPECT_TRUE(boxes.boxes().empty()) << c.how;
    } else {
      ASSERT_EQ(boxes.texts(), std::vector<std::string>({"Na pewno przerwa\xe6 operacj\xea?"})) << c.how;
      EXPECT_EQ(boxes.boxes()[0].owner, InstallerWindow) << c.how;
    }
    EXPECT_EQ(Launches, c.result) << c.how;
    if (c.result == 0) {
      EXPECT_EQ(WritesAfterAnswer, 0) << c.how;
    }
    // Nothing but the medium is left (the work directories begin "dm_").
    for (const std::string& entry : temp_.Contents())
      EXPECT_NE(entry.compare(0, 3, "dm_"), 0) << c.how << ": " << entry;
  }
}

BOOL WINAPI FailingInitCommonControlsEx(const INITCOMMONCONTROLSEX*) {
  return FALSE;
}

// Without the progress bar class there is no dialog and the result is -1.
TEST_F(DialogTest, ControlsNotRegisteredGivesMinusOne) {
  ScopedPlatform platform;
  Platform.InitCommonControlsEx = FailingInitCommonControlsEx;
  EXPECT_EQ(RunInstallerDialog([](HWND) { ADD_FAILURE() << "a dialog was made"; }), -1);
}

int TemplateStepToFail;
HRSRC WINAPI MaybeFailingFindResource(HMODULE module, LPCSTR name, LPCSTR type) {
  return TemplateStepToFail == 0 && type == RT_DIALOG
             ? NULL : PlatformReal().FindResourceA(module, name, type);
}
HGLOBAL WINAPI FailingLoadResource(HMODULE, HRSRC) { return NULL; }
LPVOID WINAPI FailingLockResource(HGLOBAL) { return NULL; }

// A dialog template that cannot be found, loaded or locked ends silently
// with 0.
TEST_F(DialogTest, MissingTemplateGivesZero) {
  for (TemplateStepToFail = 0; TemplateStepToFail < 3; ++TemplateStepToFail) {
    ScopedPlatform platform;
    BoxScript boxes;
    Platform.FindResourceA = MaybeFailingFindResource;
    if (TemplateStepToFail == 1)
      Platform.LoadResource = FailingLoadResource;
    if (TemplateStepToFail == 2)
      Platform.LockResource = FailingLockResource;
    EXPECT_EQ(RunInstallerDialog([](HWND) { ADD_FAILURE() << "a dialog was made"; }), 0)
        << "step " << TemplateStepToFail;
    EXPECT_TRUE(boxes.boxes().empty());
  }
}

// A template the platform cannot turn into a dialog (a control of an unknown
// class) gives -1.
struct BadTemplate {
  DLGTEMPLATE dialog;
  WORD menu, windowClass, title;
  WORD pad;
  DLGITEMTEMPLATE item;
  wchar_t itemClass[16];
  WORD itemTitle, extra;
};
LPVOID WINAPI BadTemplateLock(HGLOBAL) {
  static BadTemplate bad;
  memset(&bad, 0, sizeof(bad));
  bad.dialog.style = WS_POPUP;
  bad.dialog.cdit = 1;
  bad.dialog.cx = 100;
  bad.dialog.cy = 50;
  bad.item.style = WS_CHILD | WS_VISIBLE;
  bad.item.cx = 10;
  bad.item.cy = 10;
  bad.item.id = 1;
  wcscpy(bad.itemClass, L"no_such_class");
  return &bad;
}

TEST_F(DialogTest, DialogNotCreatedGivesMinusOne) {
  ScopedPlatform platform;
  Platform.LockResource = BadTemplateLock;
  EXPECT_EQ(RunInstallerDialog([](HWND) { ADD_FAILURE() << "a dialog was made"; }), -1);
}

int IconOffset;
std::vector<int> IconSizesAsked;
std::vector<HICON> IconsDestroyed;

BOOL WINAPI OffsetWindowRect(HWND window, LPRECT rect) {
  const BOOL ok = PlatformReal().GetWindowRect(window, rect);
  const int id = GetDlgCtrlID(window);
  if (id == IDC_PRODUCT_ICON)
    rect->left = 100;
  if (id == IDC_WELCOME_TEXT)
    rect->left = 100 + IconOffset;
  return ok;
}
HANDLE WINAPI RecordingLoadImage(HINSTANCE module, LPCSTR name, UINT type, int cx, int cy, UINT f) {
  IconSizesAsked.push_back(cx);
  EXPECT_EQ(cx, cy);
  return PlatformReal().LoadImageA(module, name, type, cx, cy, f);
}
HANDLE WINAPI MissingImage(HINSTANCE, LPCSTR, UINT, int, int, UINT) { return NULL; }
BOOL WINAPI RecordingDestroyIcon(HICON icon) {
  IconsDestroyed.push_back(icon);
  return PlatformReal().DestroyIcon(icon);
}

// The icon fills the gap left of the text less 8 pixels: 72, 48, 32, 24 or
// 16 pixels. It is shown in the icon control and destroyed with the dialog.
TEST_F(DialogTest, IconSizeFollowsTheGap) {
  const struct { int offset; int size; } cases[] = {
      {80, 72}, {79, 48}, {56, 48}, {55, 32}, {40, 32}, {39, 24}, {32, 24}, {31, 16}, {8, 16}, {0, 16},
  };
  for (const auto& c : cases) {
    ScopedPlatform platform;
    Platform.GetWindowRect = OffsetWindowRect;
    Platform.LoadImageA = RecordingLoadImage;
    Platform.DestroyIcon = RecordingDestroyIcon;
    IconOffset = c.offset;
    IconSizesAsked.clear();
    IconsDestroyed.clear();
    HICON shown = NULL;
    EXPECT_EQ(RunInstallerDialog([&shown](HWND d) {
      shown = reinterpret_cast<HICON>(SendDlgItemMessageA(d, IDC_PRODUCT_ICON, STM_GETICON, 0, 0));
      PressButton(d, IDCANCEL);
    }), 0);
    EXPECT_EQ(IconSizesAsked, std::vector<int>({c.size})) << "offset " << c.offset;
    EXPECT_NE(shown, nullptr);
    EXPECT_EQ(IconsDestroyed, std::vector<HICON>({shown})) << "offset " << c.offset;
  }
}

// A missing icon is not set or destroyed, and the dialog works as usual.
TEST_F(DialogTest, MissingIcon) {
  ScopedPlatform platform;
  Platform.LoadImageA = MissingImage;
  Platform.DestroyIcon = RecordingDestroyIcon;
  IconsDestroyed.clear();
  HWND dialog = NULL;
  EXPECT_EQ(RunInstallerDialog([&dialog](HWND d) {
    dialog = d;
    PressButton(d, IDCANCEL);
  }), 0);
  EXPECT_EQ(InstallerWindow, dialog);
  EXPECT_TRUE(IconsDestroyed.empty());
}

}  // namespace
