// Message boxes answered by a script instead of a user. While a BoxScript
// lives, every MessageBoxW is recorded and answered from its queue (IDOK when
// the queue is empty); an optional action runs while the box is "open". The
// texts are recorded as shown (UTF-16) and, for comparison with the
// program's own texts, in Windows-1250.

#ifndef INSTALLER_TESTS_SUPPORT_BOXES_H_
#define INSTALLER_TESTS_SUPPORT_BOXES_H_

#include <windows.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/platform_guard.h"

struct BoxRecord {
  HWND owner;
  std::string text;     // In Windows-1250; "?" for what it cannot hold.
  std::string caption;  // In Windows-1250.
  UINT type;
  std::wstring wide;    // The text as shown.
};

class BoxScript {
 public:
  BoxScript();
  ~BoxScript();

  // Queues the answers of the next boxes, in order.
  void Answer(std::initializer_list<int> codes);
  // Runs `action` inside every box before it is answered, as a user would
  // act while the box is open.
  void WhileOpen(std::function<void(const BoxRecord&)> action) { whileOpen_ = action; }

  const std::vector<BoxRecord>& boxes() const { return boxes_; }
  std::vector<std::string> texts() const;

 private:
  static int WINAPI FakeMessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

  ScopedPlatform platform_;
  std::deque<int> answers_;
  std::vector<BoxRecord> boxes_;
  std::function<void(const BoxRecord&)> whileOpen_;
  static BoxScript* current_;
};

#endif  // INSTALLER_TESTS_SUPPORT_BOXES_H_
