#include "ui/messages.h"

#include "platform/platform.h"

HWND InstallerWindow = NULL;
bool InstallerWindowHidden = false;

void HideInstallerWindow() {
  Platform.ShowWindow(InstallerWindow, SW_HIDE);
  InstallerWindowHidden = true;
}

const char kBoxCaption[] = "Korvani Dalmera - instalator";

static const char* const kErrorVerbs[] = {
    "usunąć zbioru",     // kDeleteFileFailed
    "usunąć katalogu",   // kRemoveDirectoryFailed
    "przenieść zbioru",  // kMoveFileFailed
};

// The program's own texts are Windows-1250, whatever the system's ANSI code
// page; they are shown through UTF-16 so that they read right on every
// system. What comes from the system (paths) is in its ANSI code page.
static const UINT kTextCodePage = 1250;

// wsprintfW never writes more than 1,024 characters, the terminator included,
// so a buffer of this size cannot be overrun whatever a path holds.
static const int kFormatLimit = 1024;
static const DWORD kSystemTextSize = 2000;
static const WCHAR kEllipsis = 0x2026;

// Converts `text`, of `codePage`, into `out` of `count` characters. Should
// the platform refuse, each byte is taken as the character of that number:
// the box is still shown, its ASCII letters right.
static void Widen(UINT codePage, const char* text, WCHAR* out, int count) {
  if (ToWide(codePage, text, out, static_cast<size_t>(count)))
    return;
  int i = 0;
  for (; text[i] != '\0' && i + 1 < count; ++i)
    out[i] = static_cast<unsigned char>(text[i]);
  out[i] = L'\0';
}

static int ShowWide(const WCHAR* text, UINT type) {
  WCHAR caption[sizeof(kBoxCaption)];
  Widen(kTextCodePage, kBoxCaption, caption, sizeof(kBoxCaption));
  if (InstallerWindowHidden)
    return Platform.MessageBoxW(NULL, text, caption, type | MB_SETFOREGROUND | MB_TOPMOST);
  return Platform.MessageBoxW(InstallerWindow, text, caption, type);
}

// After `message` was formatted with `written` characters: a message that
// reached the formatting limit may have been cut, and ends in "…" so that
// the cut is seen.
static void MarkCut(WCHAR* message, int written) {
  if (written >= kFormatLimit - 1)
    message[kFormatLimit - 2] = kEllipsis;
}

// Fills `message` (kFormatLimit characters) from the Windows-1250 `format`
// with the UTF-16 `text` inserted for its one "%s".
static void FormatWide(WCHAR* message, const char* format, const WCHAR* text) {
  WCHAR wideFormat[kFormatLimit];
  Widen(kTextCodePage, format, wideFormat, kFormatLimit);
  MarkCut(message, Platform.wsprintfW(message, wideFormat, text));
}

int ShowMessage(const char* text, UINT type) {
  WCHAR wide[kFormatLimit];
  Widen(kTextCodePage, text, wide, kFormatLimit);
  return ShowWide(wide, type);
}

int ShowError(const char* text) {
  return ShowMessage(text, MB_ICONHAND);
}

WCHAR* SystemErrorText(DWORD code, WCHAR* buffer, DWORD size) {
  buffer[0] = L'\0';
  DWORD length = Platform.FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                         NULL, code, LANG_USER_DEFAULT, buffer, size, NULL);
  // The system's texts end with a line break, which would split the box's
  // sentence in the middle.
  while (length > 0 && (buffer[length - 1] == L'\n' || buffer[length - 1] == L'\r'))
    buffer[--length] = L'\0';
  return buffer;
}

// Shows `format` with the text of `verb`, `path` (ANSI) and the platform's
// last error (its number and its text), in an error box.
static int ShowFailure(const char* format, const char* verb, const char* path) {
  // The code must be taken before any other call can overwrite it.
  const DWORD code = Platform.GetLastError();
  WCHAR systemText[kSystemTextSize];
  WCHAR wideFormat[kFormatLimit];
  WCHAR wideVerb[kFormatLimit];
  WCHAR widePath[kFormatLimit];
  WCHAR message[kSystemTextSize];
  SystemErrorText(code, systemText, kSystemTextSize - 1);
  Widen(kTextCodePage, format, wideFormat, kFormatLimit);
  Widen(kTextCodePage, verb, wideVerb, kFormatLimit);
  Widen(CP_ACP, path, widePath, kFormatLimit);
  MarkCut(message, Platform.wsprintfW(message, wideFormat, wideVerb, widePath, static_cast<int>(code),
                                      systemText));
  return ShowWide(message, MB_ICONHAND);
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

int ShowFileError(const char* format, const char* path) {
  WCHAR widePath[kFormatLimit];
  WCHAR text[kFormatLimit];
  Widen(CP_ACP, path, widePath, kFormatLimit);
  FormatWide(text, format, widePath);
  return ShowWide(text, MB_ICONHAND);
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
static bool PromptUntilDecided(const WCHAR* text, UINT type, int goOn) {
  for (;;) {
    const int answer = ShowWide(text, type);
    if (answer == goOn)
      return true;
    const int confirm = AskAbort();
    if (confirm == IDYES || (answer == 0 && confirm == 0))
      return false;
  }
}

bool PromptWrongVolume(const char* name) {
  WCHAR wideName[kFormatLimit];
  WCHAR text[kFormatLimit];
  Widen(CP_ACP, name, wideName, kFormatLimit);
  FormatWide(text, "%s nie jest kolejnym woluminem\ntej sekwencji plików. Proszę włożyć właściwą dyskietkę!",
             wideName);
  return PromptUntilDecided(text, MB_RETRYCANCEL | MB_ICONHAND, IDRETRY);
}

bool PromptInsertDisk(const char* name) {
  WCHAR wideName[kFormatLimit];
  WCHAR text[kFormatLimit];
  Widen(CP_ACP, name, wideName, kFormatLimit);
  FormatWide(text, "Proszę włożyć dysk z plikiem %s.", wideName);
  return PromptUntilDecided(text, MB_OKCANCEL | MB_ICONASTERISK, IDOK);
}
