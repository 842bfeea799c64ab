// Message boxes and prompts. Every box is modal, owned by InstallerWindow
// until the dialog hides for the second stage (then by none), and captioned
// kBoxCaption. The texts are Windows-1250 and paths put into them
// are in the ANSI code page; both are shown through UTF-16 (MessageBoxW), so
// they read right whatever the system's ANSI code page.

#ifndef INSTALLER_UI_MESSAGES_H_
#define INSTALLER_UI_MESSAGES_H_

#include <windows.h>

// The installer dialog, owner of every box. Null until the dialog exists.
extern HWND InstallerWindow;

// True once the dialog was hidden for the hand-over (HideInstallerWindow).
extern bool InstallerWindowHidden;

// Hides the dialog while the second stage runs. The boxes shown from then on
// have no owner: each comes to the foreground, above other windows, with a
// taskbar button of its own, instead of hiding behind them with the dialog
// while the installer waits for the answer.
void HideInstallerWindow();

// The caption of every box (Windows-1250): "Korvani Dalmera - instalator",
// lower-case unlike the dialog's title.
extern const char kBoxCaption[];

// Kinds of ShowSystemError: the operation that failed on `path`.
enum SystemErrorKind {
  kDeleteFileFailed = 0,
  kRemoveDirectoryFailed = 1,
  kMoveFileFailed = 2,
};

// Shows `text` with the box type `type`; returns the platform's button code
// (0 when no box could be shown).
int ShowMessage(const char* text, UINT type);

// Shows `text` with the stop icon and an OK button.
int ShowError(const char* text);

// Shows which operation failed on `path`, with the number and the system's
// text of the last platform error. Reads GetLastError before anything else.
int ShowSystemError(int kind, const char* path);

// Tells that the program `path` could not be started, with the platform's
// last error, in the style of ShowSystemError. Returns the box's answer.
int ShowStartError(const char* path);

// Shows the error box `format` (Windows-1250, with one "%s") naming the file
// `path` (ANSI code page). Returns the box's answer.
int ShowFileError(const char* format, const char* path);

// Fills `buffer` (room for `size` characters) with the system's text for
// `code`, without the line break the system ends it with; leaves it empty
// when the system has none. Returns `buffer`.
WCHAR* SystemErrorText(DWORD code, WCHAR* buffer, DWORD size);

// Asks "Na pewno przerwać operację?" ("Nie" the default); true only for
// "Tak".
bool ConfirmAbort();

// Tells that `name` is not the next volume of the set. True when the user
// asks to retry (having put the right one in); any other answer asks whether
// to abort, and false comes once the user confirms giving up, or when not
// even the confirmation can be shown; "Nie" shows the prompt again.
bool PromptWrongVolume(const char* name);

// Asks for the disk holding `name`. True once the user presses OK; false when
// the user confirms giving up, or when not even the confirmation can be shown.
bool PromptInsertDisk(const char* name);

#endif  // INSTALLER_UI_MESSAGES_H_
