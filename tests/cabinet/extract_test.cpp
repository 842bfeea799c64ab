// Cabinet extraction: the error texts, byte for byte in Windows-1250.

#include <gtest/gtest.h>

#include "app/messages.h"
#include "cabinet/extract.h"
#include "tests/support/boxes.h"

namespace {

// Every code has its text; unknown codes share one.
TEST(ExtractTest, ErrorTexts) {
  const struct { int code; const char* text; } cases[] = {
      {-2, "B\xb3\xb9" "d przenoszenia zbior\xf3w\nz katalogu tymczasowego"},
      {-1, "Nie mo\xbfna utworzy\xe6 katalogu tymczasowego"},
      {0, "OK"},
      {1, "Nie znaleziono archiwum .CAB"},
      {2, "To nie jest archiwum .CAB"},
      {3, "Nie rozpoznana wersja archiwum .CAB"},
      {4, "Uszkodzone archiwum .CAB"},
      {5, "Brak pami\xea" "ci"},
      {6, "Nie obs\xb3ugiwana metoda kompresji"},
      {7, "B\xb3\xb9" "d rozpakowywania"},
      {8, "B\xb3\xb9" "d zapisu do zbioru"},
      {9, "Archiwa .CAB maj\xb9 obszary zarezerwowane\no r\xf3\xbfnej d\xb3ugo\x9c" "ci"},
      {10, "Ten wolumin archiwum .CAB\nnie nale\xbfy do tego zestawu"},
      {11, "Przerwanie u\xbfytkownika"},
      {12, "Nie rozpoznany b\xb3\xb9" "d archiwum .CAB"},
      {-3, "Nie rozpoznany b\xb3\xb9" "d archiwum .CAB"},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(CabinetErrorText(c.code), c.text) << "code " << c.code;
}

// The text is shown as an error box.
TEST(ExtractTest, ShowCabinetError) {
  InstallerWindow = NULL;
  BoxScript boxes;
  ShowCabinetError(2);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text, "To nie jest archiwum .CAB");
  EXPECT_EQ(boxes.boxes()[0].type, 0x10u);
}

}  // namespace
