#include "app/messages.h"

#include "platform/platform.h"

HWND InstallerWindow = NULL;

const char kBoxCaption[] = "Korvani Dalmera - instalator";

static const char* const kErrorVerbs[] = {
    "usunąć zbioru",     // kDeleteFileFailed
    "usunąć katalogu",   // kRemoveDirectoryFailed
    "przenieść zbioru",  // kMoveFileFailed
};

// wsprintfA never writes more than 1,024 characters, the terminator included,
// so a buffer of this size cannot be overrun whatever a path holds.
static const int kFormatLimit = 1024;
static const DWORD kSystemTextSize = 2000;

int ShowMessage(const char* text, UINT type) {
  return Platform.MessageBoxA(InstallerWindow, text, kBoxCaption, type);
}

int ShowError(const char* text) {
  return ShowMessage(text, MB_ICONHAND);
}

char* SystemErrorText(DWORD code, char* buffer, DWORD size) {
  buffer[0] = '\0';
  DWORD length = Platform.FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                         NULL, code, LANG_USER_DEFAULT, buffer, size, NULL);
  // The system's texts end with a line break, which would split the box's
  // sentence in the middle.
  while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r'))
    buffer[--length] = '\0';
  return buffer;
}

// Shows `format` with the text of `verb`, `path` and the platform's last
// error (its number and its text), in an error box.
static int ShowFailure(const char* format, const char* verb, const char* path) {
  // The code must be taken before any other call can overwrite it.
  const DWORD code = Platform.GetLastError();
  char systemText[kSystemTextSize];
  char message[kSystemTextSize];
  SystemErrorText(code, systemText, kSystemTextSize - 1);
  Platform.wsprintfA(message, format, verb, path, static_cast<int>(code), systemText);
  return ShowMessage(message, MB_ICONHAND);
}

int ShowSystemError(int kind, const char* path) {
  if (kind < kDeleteFileFailed || kind > kMoveFileFailed)
    kind = kDeleteFileFailed;
  return ShowFailure("Nie mogę %s %s (%d %s). Należy usunąć go samodzielnie!", kErrorVerbs[kind],
                     path);
}

int ShowStartError(const char* path) {
  return ShowFailure("Nie mogę %s %s (%d %s). Instalacja zostanie przerwana.",
                     "uruchomić programu", path);
}

// Shows the abort question and returns the button code as it came.
static int AskAbort() {
  // "Nie" is the default button: MB_DEFBUTTON2, not the MB_DEFBUTTON3 that
  // 0x223 would carry (that would make "Anuluj" the default).
  return ShowMessage("Na pewno przerwać operację?",
                     MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2);
}

bool ConfirmAbort() {
  return AskAbort() == IDYES;
}

// Shows the prompt `text` of box `type` until the user answers `goOn` (true)
// or gives up: any other answer asks whether to abort, and "Tak" there ends
// it (false). A user can always leave, and no prompt comes back without an
// answer in between: when the platform shows neither box (both return 0),
// asking again would never end, so that is giving up too.
static bool PromptUntilDecided(const char* text, UINT type, int goOn) {
  for (;;) {
    const int answer = ShowMessage(text, type);
    if (answer == goOn)
      return true;
    const int confirm = AskAbort();
    if (confirm == IDYES || (answer == 0 && confirm == 0))
      return false;
  }
}

bool PromptWrongVolume(const char* name) {
  char text[kFormatLimit];
  Platform.wsprintfA(text,
                     "%s nie jest kolejnym woluminem\ntej sekwencji plików. "
                     "Proszę włożyć właściwą dyskietkę!",
                     name);
  return PromptUntilDecided(text, MB_RETRYCANCEL | MB_ICONHAND, IDRETRY);
}

bool PromptInsertDisk(const char* name) {
  char text[kFormatLimit];
  Platform.wsprintfA(text, "Proszę włożyć dysk z plikiem %s.", name);
  return PromptUntilDecided(text, MB_OKCANCEL | MB_ICONASTERISK, IDOK);
}
