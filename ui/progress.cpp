#include "ui/progress.h"

#include <windows.h>
#include <commctrl.h>

#include "platform/platform.h"
#include "ui/messages.h"

static const ProgressState kInitialProgress = {0, 0, 0, -1, 0, 0, 0, 1, 0, 0, false};

ProgressState Progress = kInitialProgress;

void ProgressReset() {
  Progress = kInitialProgress;
  StopRequested = false;
}

// The first stage fills this many tenths of the bar; every later one starts
// there and fills the rest.
static const int64_t kFirstStageTenths = 6;

void ProgressStage(uint32_t size) {
  int64_t range;
  if (Progress.mode == 0)
    range = static_cast<int64_t>(size) * 10 / kFirstStageTenths;
  else if (Progress.mode == -1)
    range = static_cast<int64_t>(size) * 10 / (10 - kFirstStageTenths);
  else
    return;
  // The bar takes 32-bit signed ranges; a larger stage is counted in coarser
  // units so that it still runs across the whole bar.
  int32_t shift = 0;
  while ((range >> shift) > INT32_MAX)
    ++shift;
  Progress.scaleShift = shift;
  Progress.carry = 0;
  Progress.range = static_cast<int32_t>(range >> shift);
  Progress.position =
      Progress.mode == 0 ? 0 : static_cast<int32_t>(Progress.range * kFirstStageTenths / 10);
  Progress.stageShown = false;
}

void ProgressLaterStages() {
  Progress.mode = -1;
}

ProgressState ProgressSuspend() {
  return Progress;
}

void ProgressResume(const ProgressState& stage) {
  // The bar holds what the stage in between sent it.
  const int32_t sentRange = Progress.sentRange;
  Progress = stage;
  Progress.sentRange = sentRange;
  Progress.stageShown = false;
}

// The bar is repainted at most this often while it moves (30 times a
// second: it still moves smoothly), and the queue drained at least this
// often (a frame): both well within what a user sees as immediate. Under
// Wine each drain and each repaint is a round trip to the server and the X
// server, so drawing more often than this slows the unpacking it shows.
static const DWORD kRepaintInterval = 33;
static const DWORD kPumpInterval = 16;

// Adds `count` bytes to the position, in the stage's units; a position
// beyond the top stays there instead of wrapping round (unpacking writes more
// bytes than the packed size that made the scale).
static void AddBytes(uint32_t count) {
  const uint64_t bytes = static_cast<uint64_t>(Progress.carry) + count;
  const uint32_t unitMask = (1u << Progress.scaleShift) - 1;
  const int32_t units = static_cast<int32_t>(bytes >> Progress.scaleShift);
  Progress.carry = static_cast<uint32_t>(bytes) & unitMask;
  const int64_t position = static_cast<int64_t>(Progress.position) + units;
  Progress.position = position > INT32_MAX ? INT32_MAX : static_cast<int32_t>(position);
}

// Tells `bar` the range of a new stage, when it differs from the one it
// has, and works out how many units make a pixel of it (a thousandth of the
// range when its width cannot be had).
static void SendRange(HWND bar) {
  if (Progress.sentRange == Progress.range)
    return;
  Progress.sentRange = Progress.range;
  Platform.SendMessageA(bar, PBM_SETRANGE32, 0, Progress.range);
  RECT frame;
  // The bar's border takes a pixel on either side.
  const int32_t pixels = Platform.GetWindowRect(bar, &frame) ? frame.right - frame.left - 2 : 0;
  Progress.step = Progress.range / (pixels > 0 ? pixels : 1000);
  if (Progress.step < 1)
    Progress.step = 1;
}

bool ProgressAdvance(uint32_t count) {
  AddBytes(count);
  // The bar is told, and repainted, only when what it shows would change:
  // at the start of a stage; when the position has moved by a pixel and the
  // last repaint is a frame old; and when the stage reaches its end. A run
  // of many small writes thus costs a few dozen updates per second instead
  // of one per write. A position beyond the range shows as a full bar.
  const DWORD now = Platform.GetTickCount();
  const int32_t shown = Progress.position < Progress.range ? Progress.position : Progress.range;
  const bool moved = shown != Progress.shown && shown - Progress.shown >= Progress.step;
  const bool show = !Progress.stageShown ||
                    (shown != Progress.shown &&
                     (shown == Progress.range || (moved && now - Progress.shownAt >= kRepaintInterval)));
  if (show) {
    HWND bar = Platform.GetDlgItem(InstallerWindow, kProgressBarId);
    if (!Progress.stageShown)
      SendRange(bar);
    Progress.stageShown = true;
    Progress.shown = shown;
    Progress.shownAt = now;
    Platform.SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(shown), 0);
    Platform.UpdateWindow(InstallerWindow);
    Platform.UpdateWindow(bar);
  }
  // Painting, moving the window and the close box are served between writes
  // a frame apart, and after every repaint.
  if (show || now - Progress.pumpedAt >= kPumpInterval) {
    Progress.pumpedAt = now;
    PumpMessages();
  }
  return !StopRequested;
}

bool StopRequested = false;
static bool AskingToStop = false;

void AskToStop() {
  if (AskingToStop || StopRequested)
    return;
  AskingToStop = true;
  StopRequested = ConfirmAbort();
  AskingToStop = false;
}

bool KeepAlive() {
  const DWORD now = Platform.GetTickCount();
  if (now - Progress.pumpedAt >= kPumpInterval) {
    Progress.pumpedAt = now;
    PumpMessages();
  }
  return !StopRequested;
}

void PumpMessages() {
  MSG msg;
  // No IsDialogMessage here: Enter does nothing while a run works. Escape
  // asks to stop, as the close box does; painting is served.
  while (Platform.PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE && InstallerWindow != NULL) {
      Platform.SendMessageA(InstallerWindow, WM_COMMAND, IDCANCEL, 0);
      continue;
    }
    Platform.TranslateMessage(&msg);
    Platform.DispatchMessageA(&msg);
  }
}
