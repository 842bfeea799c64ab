// The Polish texts reach the platform as Windows-1250 bytes.

#include <string.h>

#include <gtest/gtest.h>

#include "tests/support/boxes.h"
#include "ui/messages.h"

namespace {

// The compiler turns the readable UTF-8 sources into Windows-1250.
TEST(CharsetTest, CompilerWritesWindows1250) {
  EXPECT_STREQ("ąćęłńóśźżĄĆĘŁŃÓŚŹŻ",
               "\xb9\xe6\xea\xb3\xf1\xf3\x9c\x9f\xbf\xa5\xc6\xca\xa3\xd1\xd3\x8c\x8f\xaf");
}

// The texts of the boxes, byte for byte.
TEST(CharsetTest, BoxTextsAreWindows1250) {
  InstallerWindow = NULL;
  BoxScript boxes;
  boxes.Answer({IDCANCEL, IDYES, IDRETRY, IDOK});
  PromptInsertDisk("Y");
  PromptWrongVolume("X");
  SetLastError(0x20000000);
  ShowSystemError(2, "Z");
  const std::vector<std::string> expected = {
      "Prosz\xea w\xb3o\xbfy\xe6 dysk z plikiem Y.",
      "Na pewno przerwa\xe6 operacj\xea?",
      "X nie jest kolejnym woluminem\ntej sekwencji plik\xf3w. Prosz\xea w\xb3o\xbfy\xe6 "
      "w\xb3" "a\x9c" "ciw\xb9 dyskietk\xea!",
      "Nie mog\xea przenie\x9c\xe6 zbioru Z (536870912 ). Nale\xbfy usun\xb9\xe6 go samodzielnie!",
  };
  EXPECT_EQ(boxes.texts(), expected);
  EXPECT_EQ(boxes.boxes()[0].caption, "Korvani Dalmera - instalator");
}

}  // namespace
