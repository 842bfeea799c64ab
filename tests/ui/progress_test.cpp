// The progress bar's arithmetic and the messages it sends, recorded through
// the platform seam.

#include <windows.h>
#include <commctrl.h>

#include <vector>

#include <gtest/gtest.h>

#include "tests/support/fake_clock.h"
#include "tests/support/platform_guard.h"
#include "ui/messages.h"
#include "ui/progress.h"

namespace {

struct Sent {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  bool operator==(const Sent& o) const {
    return message == o.message && wParam == o.wParam && lParam == o.lParam;
  }
};

std::vector<Sent> SentToBar;
int Updates;
int Peeks;

const HWND kBar = reinterpret_cast<HWND>(0xBA2);

HWND WINAPI FakeGetDlgItem(HWND, int id) {
  EXPECT_EQ(id, 1001);
  return kBar;
}
LRESULT WINAPI RecordingSendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  EXPECT_EQ(window, kBar);
  SentToBar.push_back({message, wParam, lParam});
  return 0;
}
BOOL WINAPI CountingUpdateWindow(HWND) {
  ++Updates;
  return TRUE;
}
BOOL WINAPI HundredPixels(HWND, LPRECT rect) {
  *rect = RECT{10, 20, 112, 33};
  return TRUE;
}
BOOL WINAPI CountingPeekMessage(LPMSG, HWND, UINT, UINT, UINT) {
  ++Peeks;
  return FALSE;
}

class ProgressTest : public testing::Test {
 protected:
  void SetUp() override {
    ProgressReset();
    InstallerWindow = NULL;
    SentToBar.clear();
    Updates = 0;
    Peeks = 0;
    Platform.GetDlgItem = FakeGetDlgItem;
    Platform.SendMessageA = RecordingSendMessage;
    Platform.UpdateWindow = CountingUpdateWindow;
    Platform.PeekMessageA = CountingPeekMessage;
  }
  // A write of `count` bytes, `ms` after the one before.
  void Write(uint32_t count, DWORD ms = 40) {
    clock_.Advance(ms);
    ProgressAdvance(count);
  }
  ScopedPlatform platform_;
  FakeClock clock_;
};

// The first stage reaches 60 %: 600 bytes on a scale of 1000.
TEST_F(ProgressTest, FirstStage) {
  ProgressStage(600);
  EXPECT_EQ(Progress.range, 1000);
  EXPECT_EQ(Progress.position, 0);
  ProgressAdvance(600);
  EXPECT_EQ(SentToBar, std::vector<Sent>({{PBM_SETRANGE32, 0, 1000}, {PBM_SETPOS, 600, 0}}));
  EXPECT_EQ(Updates, 2);
  EXPECT_EQ(Peeks, 1);
}

// A later stage starts at 60 % of its own scale and reaches 100 %; the range
// goes to the bar once, then positions.
TEST_F(ProgressTest, LaterStage) {
  ProgressLaterStages();
  ProgressStage(400);
  EXPECT_EQ(Progress.range, 1000);
  EXPECT_EQ(Progress.position, 600);
  for (int i = 0; i < 4; ++i)
    Write(100);
  EXPECT_EQ(Progress.position, 1000);
  EXPECT_EQ(SentToBar, std::vector<Sent>({{PBM_SETRANGE32, 0, 1000},
                                          {PBM_SETPOS, 700, 0},
                                          {PBM_SETPOS, 800, 0},
                                          {PBM_SETPOS, 900, 0},
                                          {PBM_SETPOS, 1000, 0}}));
  EXPECT_EQ(Updates, 8);
}

// Two stages of equal range in a row: the second starts at 60 % like any
// other (the range is not sent again). A stage suspended while another runs
// in between is shown where it stood when it is resumed.
TEST_F(ProgressTest, EqualRangesInARow) {
  ProgressLaterStages();
  ProgressStage(400);
  ProgressAdvance(400);
  ProgressStage(400);
  ProgressAdvance(100);
  EXPECT_EQ(SentToBar, std::vector<Sent>({{PBM_SETRANGE32, 0, 1000}, {PBM_SETPOS, 1000, 0}, {PBM_SETPOS, 700, 0}}));

  SentToBar.clear();
  const ProgressState unpacking = ProgressSuspend();
  ProgressStage(40);
  Write(40);
  ProgressResume(unpacking);
  Write(100);
  EXPECT_EQ(SentToBar, std::vector<Sent>({{PBM_SETRANGE32, 0, 100},
                                          {PBM_SETPOS, 100, 0},
                                          {PBM_SETRANGE32, 0, 1000},
                                          {PBM_SETPOS, 800, 0}}));
}

// Many small writes: the bar is told and repainted only when it moved by a
// pixel (here a thousandth of the range: the fake bar has no width) and a
// thirtieth of a second has passed, and at the end of the stage, which it
// reaches exactly, once; the queue is drained every 16 ms and after every
// repaint. A bar of 100 pixels inside its border gets a hundredth. An
// advance of 0 or an empty stage repaints nothing after the stage's first.
TEST_F(ProgressTest, UpdatesOnlyWhenTheBarMoves) {
  ProgressLaterStages();
  ProgressStage(400000);  // 1,000 units to a thousandth.
  for (int i = 0; i < 3999; ++i)
    Write(100);
  Write(99);
  Write(1);
  EXPECT_EQ(Peeks, 4001);
  EXPECT_EQ(SentToBar.size(), 1u + 401u);
  EXPECT_EQ(Updates, 2 * 401);
  EXPECT_EQ(SentToBar.back(), (Sent{PBM_SETPOS, 1000000, 0}));
  for (size_t i = 2; i + 1 < SentToBar.size(); ++i)
    EXPECT_GE(SentToBar[i].wParam - SentToBar[i - 1].wParam, 1000u) << i;
  // Writes beyond the stage's size (unpacking writes more than the packed
  // size) leave the full bar alone.
  Write(5000);
  Write(5000);
  EXPECT_EQ(SentToBar.size(), 1u + 401u);

  SentToBar.clear();
  Platform.GetWindowRect = HundredPixels;
  ProgressStage(800000);
  for (int i = 0; i < 8000; ++i)
    Write(100);
  ASSERT_EQ(SentToBar.size(), 1u + 41u);
  EXPECT_EQ(SentToBar[2].wParam - SentToBar[1].wParam, 20000u);

  // Fast writes, a millisecond apart: a repaint every 33 ms, a drain every 16.
  SentToBar.clear();
  Peeks = 0;
  Platform.GetWindowRect = PlatformReal().GetWindowRect;  // No width: a pixel is 10 writes.
  ProgressStage(400000);
  for (int i = 0; i < 4000; ++i)
    Write(100, 1);
  EXPECT_GE(SentToBar.size(), 1u + 4000u / 33u);
  EXPECT_LE(SentToBar.size(), 3u + 4000u / 33u);
  EXPECT_EQ(SentToBar.back(), (Sent{PBM_SETPOS, 1000000, 0}));
  EXPECT_GE(Peeks, 4000 / 16);
  EXPECT_LE(Peeks, 4000 / 16 + 4000 / 33);

  SentToBar.clear();
  Updates = 0;
  ProgressStage(0);
  EXPECT_EQ(Progress.range, 0);
  Write(0);
  Write(0);
  EXPECT_EQ(SentToBar, std::vector<Sent>({{PBM_SETRANGE32, 0, 0}, {PBM_SETPOS, 0, 0}}));
  EXPECT_EQ(Updates, 2);
}

// Stages too large for 32-bit arithmetic still run from 0 to 60 % and from
// 60 to 100 % of a range that fits the bar.
TEST_F(ProgressTest, StagesBeyond32Bits) {
  const uint32_t size = 4000000000u;
  ProgressStage(size);
  ASSERT_GT(Progress.range, 0);
  for (int i = 0; i < 4; ++i)
    ProgressAdvance(size / 4);
  EXPECT_NEAR(static_cast<double>(Progress.position) / Progress.range, 0.6, 0.001);
  ProgressLaterStages();
  ProgressStage(size);
  EXPECT_NEAR(static_cast<double>(Progress.position) / Progress.range, 0.6, 0.001);
  for (int i = 0; i < 4; ++i)
    ProgressAdvance(size / 4);
  EXPECT_NEAR(static_cast<double>(Progress.position) / Progress.range, 1.0, 0.001);
  // Below the limit the arithmetic is the plain one.
  ProgressStage(214748364);
  EXPECT_EQ(Progress.range, 536870910);
  EXPECT_EQ(Progress.scaleShift, 0);
}

}  // namespace
