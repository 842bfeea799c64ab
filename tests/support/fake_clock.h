// A clock that moves only when the code under test sleeps or the test says
// so, so that waiting out a busy file costs a test nothing. Replaces GetTickCount and Sleep in
// the platform table for its lifetime.

#ifndef INSTALLER_TESTS_SUPPORT_FAKE_CLOCK_H_
#define INSTALLER_TESTS_SUPPORT_FAKE_CLOCK_H_

#include <windows.h>

#include "tests/support/platform_guard.h"

class FakeClock {
 public:
  // Starts near the top of the counter, so that every wait wraps around.
  static constexpr DWORD kStart = 0xFFFFF000u;

  FakeClock() {
    now_ = kStart;
    sleeps_ = 0;
    Platform.GetTickCount = TickCount;
    Platform.Sleep = Wait;
  }
  DWORD elapsed() const { return now_ - kStart; }
  // Time passing while the code under test works.
  void Advance(DWORD ms) { now_ += ms; }
  int sleeps() const { return sleeps_; }

 private:
  static DWORD WINAPI TickCount() { return now_; }
  static VOID WINAPI Wait(DWORD ms) {
    now_ += ms;
    ++sleeps_;
  }
  static inline DWORD now_ = 0;
  static inline int sleeps_ = 0;
  ScopedPlatform platform_;
};

#endif  // INSTALLER_TESTS_SUPPORT_FAKE_CLOCK_H_
