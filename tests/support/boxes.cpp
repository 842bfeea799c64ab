#include "tests/support/boxes.h"

#include <string.h>

#include <gtest/gtest.h>

BoxScript* BoxScript::current_ = NULL;

BoxScript::BoxScript() {
  EXPECT_EQ(current_, nullptr) << "one BoxScript at a time";
  current_ = this;
  Platform.MessageBoxW = FakeMessageBoxW;
}

BoxScript::~BoxScript() {
  current_ = NULL;
}

void BoxScript::Answer(std::initializer_list<int> codes) {
  answers_.insert(answers_.end(), codes.begin(), codes.end());
}

std::vector<std::string> BoxScript::texts() const {
  std::vector<std::string> result;
  for (const BoxRecord& box : boxes_)
    result.push_back(box.text);
  return result;
}

namespace {

std::string Windows1250(const wchar_t* text) {
  if (text == NULL)
    return "";
  const int size = WideCharToMultiByte(1250, 0, text, -1, NULL, 0, NULL, NULL);
  std::string bytes(size > 0 ? size : 1, '\0');
  WideCharToMultiByte(1250, 0, text, -1, &bytes[0], size, NULL, NULL);
  bytes.resize(strlen(bytes.c_str()));
  return bytes;
}

}  // namespace

int WINAPI BoxScript::FakeMessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  BoxScript* self = current_;
  BoxRecord record = {owner, Windows1250(text), Windows1250(caption), type, text ? text : L""};
  self->boxes_.push_back(record);
  if (self->whileOpen_)
    self->whileOpen_(record);
  if (self->boxes_.size() > 1000) {
    ADD_FAILURE() << "more than 1000 message boxes: a loop that never ends";
    return 0;  // As when no box can be shown, which every prompt gives up on.
  }
  if (self->answers_.empty())
    return IDOK;
  const int answer = self->answers_.front();
  self->answers_.pop_front();
  return answer;
}
