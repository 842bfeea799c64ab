// Message boxes answered by a script instead of a user. While a BoxScript
// lives, every MessageBoxA is recorded and answered from its queue (IDOK when
// the queue is empty); an optional action runs while the box is "open".

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
  std::string text;
  std::string caption;
  UINT type;
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
  static int WINAPI FakeMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

  ScopedPlatform platform_;
  std::deque<int> answers_;
  std::vector<BoxRecord> boxes_;
  std::function<void(const BoxRecord&)> whileOpen_;
  static BoxScript* current_;
};

#endif  // INSTALLER_TESTS_SUPPORT_BOXES_H_
