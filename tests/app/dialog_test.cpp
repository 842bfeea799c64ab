// The installer dialog driven in-process: exit codes, buttons, the icon rule,
// and the run started by "Instaluj".

#include <windows.h>
#include <commctrl.h>

#include <vector>

#include <gtest/gtest.h>

#include "app/dialog.h"
#include "app/resource.h"
#include "tests/support/boxes.h"
#include "tests/support/dialog_driver.h"
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

std::vector<INT_PTR> EndDialogResults;
BOOL WINAPI RecordingEndDialog(HWND dialog, INT_PTR result) {
  EndDialogResults.push_back(result);
  return PlatformReal().EndDialog(dialog, result);
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

// The close box during a run ends the dialog with 0 while the run goes on;
// the run's own result is set last.
TEST_F(DialogTest, CloseBoxDuringRun) {
  ScopedPlatform platform;
  Platform.EndDialog = RecordingEndDialog;
  EndDialogResults.clear();
  BoxScript boxes;
  int boxesAfterClose = -1;
  boxes.WhileOpen([&](const BoxRecord& box) {
    if (boxesAfterClose >= 0) {
      ++boxesAfterClose;
      return;
    }
    PostMessageA(box.owner, WM_SYSCOMMAND, SC_CLOSE, 0);
    PumpMessages();  // What the box's own modal loop would do.
    EXPECT_EQ(EndDialogResults, std::vector<INT_PTR>({0}));
    boxesAfterClose = 0;
  });
  EXPECT_EQ(RunInstallerDialog([](HWND d) { PressButton(d, IDOK); }), 0);
  EXPECT_EQ(EndDialogResults, std::vector<INT_PTR>({0, 0}));
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
