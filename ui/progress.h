// The dialog's progress bar, driven by byte counts in stages. The first stage
// (the embedded cabinet) fills 0-60 %; every later stage starts at 60 % of its
// own scale and fills the rest. Advances drain the thread's message queue
// every few milliseconds, which is what keeps the dialog alive while the run
// works.

#ifndef INSTALLER_UI_PROGRESS_H_
#define INSTALLER_UI_PROGRESS_H_

#include <stdint.h>

// The bar is this control of InstallerWindow (the dialog's IDC_PROGRESS).
static const int kProgressBarId = 1001;

struct ProgressState {
  int32_t mode;       // 0 in the first stage; -1 for every later stage.
  int32_t range;      // Upper end of the current stage's scale (lower end 0).
  int32_t position;   // Position within the scale.
  int32_t sentRange;  // The range last sent to the bar; -1 before the first.
  // Stages whose scale would not fit 32 bits (above 214,748,364 bytes) are
  // counted in units of 2^scaleShift bytes; `carry` holds the bytes not yet
  // making a whole unit. Both stay 0 for smaller stages.
  int32_t scaleShift;
  uint32_t carry;
  int32_t shown;  // The position last sent to the bar.
  int32_t step;   // The units of one pixel of the bar, at least 1.
  uint32_t shownAt;   // Tick count of the last position sent.
  uint32_t pumpedAt;  // Tick count of the last drain of the queue.
  bool stageShown;    // The bar has been told of the current stage.
};

extern ProgressState Progress;

// The state before any stage: mode 0, nothing sent yet.
void ProgressReset();

// Starts a stage of `size` bytes. Sends nothing to the bar: the next advance
// sends its start, also when its range equals the stage's before.
void ProgressStage(uint32_t size);

// Leaves the first stage: every later stage starts at 60 % of its own scale.
void ProgressLaterStages();

// The stage under way, to be taken up again with ProgressResume after
// another stage has run in between (a volume copied in while unpacking).
ProgressState ProgressSuspend();

// Makes `stage` (from ProgressSuspend) the current stage again; the next
// advance shows it where it stood.
void ProgressResume(const ProgressState& stage);

// Adds `count` bytes; returns false once the user asked to stop the run
// (StopRequested), so that the step under way stops after this block. The
// bar gets the range and the position at the start of a stage, then the
// position (with a repaint of the dialog and the bar) only when it moved by
// a pixel of the bar's width (a thousandth of the range when the width is
// unknown) and 33 ms have passed since the last, or when it reached the end. The queue is drained after every repaint and
// whenever 16 ms have passed since the last drain.
bool ProgressAdvance(uint32_t count);

// Set once the user confirmed that the run is to stop ("Tak" to "Na pewno
// przerwać operację?"); never cleared. Every long step (writing, copying,
// checking, unpacking, moving) stops at its next safe point, after the
// current block or file, and no failure box is shown for what the stop cut
// short.
extern bool StopRequested;

// Asks the user whether to stop the run, unless the question is open already
// or the stop confirmed; "Tak" sets StopRequested.
void AskToStop();

// For long steps that move no bar (hashing, moving and removing trees):
// drains the queue when a frame has passed since the last drain. Returns
// false once a stop was requested.
bool KeepAlive();

// Dispatches every message waiting in the thread's queue, then returns.
void PumpMessages();

#endif  // INSTALLER_UI_PROGRESS_H_
