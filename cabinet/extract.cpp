#include "cabinet/extract.h"

#include "app/messages.h"

// Indexed by code + 2: the installer's own -2 and -1, then 0 to 11.
static const char* const kCabinetErrorTexts[] = {
    "Błąd przenoszenia zbiorów\nz katalogu tymczasowego",
    "Nie można utworzyć katalogu tymczasowego",
    "OK",
    "Nie znaleziono archiwum .CAB",
    "To nie jest archiwum .CAB",
    "Nie rozpoznana wersja archiwum .CAB",
    "Uszkodzone archiwum .CAB",
    "Brak pamięci",
    "Nie obsługiwana metoda kompresji",
    "Błąd rozpakowywania",
    "Błąd zapisu do zbioru",
    "Archiwa .CAB mają obszary zarezerwowane\no różnej długości",
    "Ten wolumin archiwum .CAB\nnie należy do tego zestawu",
    "Przerwanie użytkownika",
};

const char* CabinetErrorText(int code) {
  const int index = code + 2;
  if (index < 0 || index >= static_cast<int>(sizeof(kCabinetErrorTexts) / sizeof(kCabinetErrorTexts[0])))
    return "Nie rozpoznany błąd archiwum .CAB";
  return kCabinetErrorTexts[index];
}

void ShowCabinetError(int code) {
  ShowError(CabinetErrorText(code));
}

// Without a bound library nothing can be unpacked.
int ExtractCabinetSet(const char* cabinetPath, const char* targetDir) {
  (void)cabinetPath;
  (void)targetDir;
  return -1;
}
