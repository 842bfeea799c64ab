#include "app/progress.h"

#include <windows.h>
#include <commctrl.h>

#include "app/messages.h"
#include "app/resource.h"
#include "platform/platform.h"

static const ProgressState kInitialProgress = {0, 0, 0, -1, 0, 0, 0, 1, 0, 0, false};

ProgressState Progress = kInitialProgress;

void ProgressReset() {
  Progress = kInitialProgress;
}

void ProgressStage(uint32_t size) {
  int64_t range;
  if (Progress.mode == 0)
    range = static_cast<int64_t>(size) * 10 / 6;
  else if (Progress.mode == -1)
    range = static_cast<int64_t>(size) * 10 / 4;
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
      Progress.mode == 0 ? 0 : static_cast<int32_t>(static_cast<int64_t>(Progress.range) * 6 / 10);
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

void ProgressAdvance(uint32_t count) {
  const uint64_t bytes = static_cast<uint64_t>(Progress.carry) + count;
  const uint32_t unitMask = (1u << Progress.scaleShift) - 1;
  const int32_t units = static_cast<int32_t>(bytes >> Progress.scaleShift);
  Progress.carry = static_cast<uint32_t>(bytes) & unitMask;
  // Unpacking writes more bytes than the packed size that made the scale;
  // the position stops at the top instead of wrapping round.
  const int64_t position = static_cast<int64_t>(Progress.position) + units;
  Progress.position = position > INT32_MAX ? INT32_MAX : static_cast<int32_t>(position);

  // The bar is told, and repainted, only when what it shows would change:
  // at the start of a stage (its range only when that changed); when the position has moved by one pixel of the
  // bar's width (a thousandth of the range when the width cannot be had) and
  // the last repaint is a frame old; and when the stage reaches its end. A
  // run of many small writes thus costs a few dozen updates per second
  // instead of one per write. A position beyond the range shows as a full
  // bar.
  const DWORD now = Platform.GetTickCount();
  const int32_t shown = Progress.position < Progress.range ? Progress.position : Progress.range;
  HWND bar = NULL;
  bool show = false;
  if (!Progress.stageShown) {
    bar = Platform.GetDlgItem(InstallerWindow, IDC_PROGRESS);
    if (Progress.sentRange != Progress.range) {
      Progress.sentRange = Progress.range;
      Platform.SendMessageA(bar, PBM_SETRANGE32, 0, Progress.range);
      RECT frame;
      // The bar's border takes a pixel on either side.
      const int32_t pixels = Platform.GetWindowRect(bar, &frame) ? frame.right - frame.left - 2 : 0;
      Progress.step = Progress.range / (pixels > 0 ? pixels : 1000);
      if (Progress.step < 1)
        Progress.step = 1;
    }
    Progress.stageShown = true;
    show = true;
  } else if (shown != Progress.shown) {
    const bool moved = shown - Progress.shown >= Progress.step;
    show = shown == Progress.range || (moved && now - Progress.shownAt >= kRepaintInterval);
    if (show)
      bar = Platform.GetDlgItem(InstallerWindow, IDC_PROGRESS);
  }
  if (show) {
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
}

void PumpMessages() {
  MSG msg;
  // No IsDialogMessage here: Enter and Escape do nothing while a run works,
  // but painting and the close box are served.
  while (Platform.PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
    Platform.TranslateMessage(&msg);
    Platform.DispatchMessageA(&msg);
  }
}
