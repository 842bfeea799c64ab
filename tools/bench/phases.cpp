// Where the installer's time goes: the installer's own code (the real dialog,
// "Instaluj" pressed at once, the platform's cabinet library) runs the whole
// job on a cabinet read from a file as if it were the embedded payload, with
// a second stage that ends at once. Platform calls that open each phase are
// timed; the progress messages and repaints are counted.
// Usage: phases CABINET   Prints "phase milliseconds" lines and counts.
// PHASES_TRACE=FILE: writes what the bar shows after each message that moves
// it, "milliseconds-since-Instaluj permille" per line, for a plot.

#include <windows.h>
#include <commctrl.h>
#include <psapi.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "app/dialog.h"
#include "app/resource.h"
#include "platform/platform.h"
#include "ui/messages.h"

namespace {

std::string Payload;
LARGE_INTEGER Frequency;
struct Mark {
  const char* phase;
  LARGE_INTEGER at;
};
std::vector<Mark> Marks;
int ProgressMessages, Repaints, Pumped;
// PHASES_QUIET=1: progress messages, repaints and the message pump do nothing,
// to show what they cost.
bool Quiet;
bool MovedOnce;
struct Shown {
  double ms;
  int permille;
};
std::vector<Shown> Trace;
bool Tracing;
LARGE_INTEGER Pressed;

void Stamp(const char* phase) {
  Mark mark = {phase, {}};
  QueryPerformanceCounter(&mark.at);
  Marks.push_back(mark);
}

HRSRC WINAPI PayloadFind(HMODULE module, LPCSTR name, LPCSTR type) {
  if (type == RT_RCDATA && name == MAKEINTRESOURCEA(IDR_PAYLOAD)) {
    Stamp("payload, companions");
    return reinterpret_cast<HRSRC>(1);
  }
  return PlatformReal().FindResourceA(module, name, type);
}
DWORD WINAPI PayloadSize(HMODULE module, HRSRC found) {
  return found == reinterpret_cast<HRSRC>(1) ? static_cast<DWORD>(Payload.size())
                                             : PlatformReal().SizeofResource(module, found);
}
HGLOBAL WINAPI PayloadLoad(HMODULE module, HRSRC found) {
  return found == reinterpret_cast<HRSRC>(1) ? reinterpret_cast<HGLOBAL>(1)
                                             : PlatformReal().LoadResource(module, found);
}
LPVOID WINAPI PayloadLock(HGLOBAL loaded) {
  return loaded == reinterpret_cast<HGLOBAL>(1) ? &Payload[0] : PlatformReal().LockResource(loaded);
}
UINT WINAPI MarkTempName(LPCSTR dir, LPCSTR prefix, UINT unique, LPSTR out) {
  if (strcmp(prefix, "cab") == 0)
    Stamp("extraction into staging");
  return PlatformReal().GetTempFileNameA(dir, prefix, unique, out);
}
BOOL WINAPI MarkMove(LPCSTR from, LPCSTR to) {
  if (!MovedOnce) {
    MovedOnce = true;
    Stamp("move out of staging");
  }
  return PlatformReal().MoveFileA(from, to);
}
BOOL WINAPI MarkHide(HWND window, int command) {
  if (command == SW_HIDE && window == InstallerWindow)
    Stamp("dialog hidden, second stage started");
  return PlatformReal().ShowWindow(window, command);
}
BOOL WINAPI SecondStage(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                        LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION info) {
  Stamp("work directory removed, library unbound");
  DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &info->hProcess, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &info->hThread, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  return TRUE;
}
DWORD WINAPI Ended(DWORD, const HANDLE*, BOOL, DWORD, DWORD) { return WAIT_OBJECT_0; }
BOOL WINAPI ExitCodeZero(HANDLE, LPDWORD code) {
  *code = 0;
  return TRUE;
}
LRESULT WINAPI CountProgress(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message >= WM_USER && message < WM_USER + 0x20) {
    ++ProgressMessages;
    if (Quiet)
      return 0;
  }
  const LRESULT result = PlatformReal().SendMessageA(window, message, wParam, lParam);
  // The position after each message that moves it (a new range alone is
  // followed by the position for it before anything is painted).
  if (Tracing && message >= WM_USER && message < WM_USER + 0x20 && message != PBM_SETRANGE32 &&
      message != PBM_SETRANGE) {
    const LRESULT position = PlatformReal().SendMessageA(window, PBM_GETPOS, 0, 0);
    const LRESULT range = PlatformReal().SendMessageA(window, PBM_GETRANGE, FALSE, 0);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    Shown shown = {(now.QuadPart - Pressed.QuadPart) * 1000.0 / Frequency.QuadPart,
                   range > 0 ? static_cast<int>(position * 1000 / range) : 0};
    Trace.push_back(shown);
  }
  return result;
}
BOOL WINAPI CountRepaint(HWND window) {
  ++Repaints;
  if (Quiet)
    return TRUE;
  return PlatformReal().UpdateWindow(window);
}
BOOL WINAPI CountPeek(LPMSG message, HWND window, UINT first, UINT last, UINT remove) {
  if (Quiet && InstallerWindow != NULL && Marks.size() > 2)
    return FALSE;
  const BOOL got = PlatformReal().PeekMessageA(message, window, first, last, remove);
  Pumped += got ? 1 : 0;
  return got;
}

INT_PTR CALLBACK PressInstall(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const bool install = message == WM_COMMAND && LOWORD(wParam) == IDOK;
  if (install) {
    Stamp("work directory, library bound");
    Pressed = Marks.back().at;
  }
  const INT_PTR result = InstallerDialogProc(window, message, wParam, lParam);
  if (message == WM_INITDIALOG)
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  if (install)
    Stamp("end");
  return result;
}
INT_PTR WINAPI DialogWithPress(HINSTANCE module, LPCDLGTEMPLATEA dialogTemplate, HWND owner, DLGPROC,
                               LPARAM param) {
  return PlatformReal().DialogBoxIndirectParamA(module, dialogTemplate, owner, PressInstall, param);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: phases CABINET\n");
    return 2;
  }
  HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE)
    return 2;
  Payload.resize(GetFileSize(file, NULL));
  DWORD read = 0;
  ReadFile(file, &Payload[0], static_cast<DWORD>(Payload.size()), &read, NULL);
  CloseHandle(file);
  QueryPerformanceFrequency(&Frequency);
  Quiet = GetEnvironmentVariableA("PHASES_QUIET", NULL, 0) != 0;
  Tracing = GetEnvironmentVariableA("PHASES_TRACE", NULL, 0) != 0;

  Platform.FindResourceA = PayloadFind;
  Platform.SizeofResource = PayloadSize;
  Platform.LoadResource = PayloadLoad;
  Platform.LockResource = PayloadLock;
  Platform.GetTempFileNameA = MarkTempName;
  Platform.MoveFileA = MarkMove;
  Platform.ShowWindow = MarkHide;
  Platform.CreateProcessW = SecondStage;
  Platform.MsgWaitForMultipleObjects = Ended;
  Platform.GetExitCodeProcess = ExitCodeZero;
  Platform.SendMessageA = CountProgress;
  Platform.UpdateWindow = CountRepaint;
  Platform.PeekMessageA = CountPeek;
  Platform.DialogBoxIndirectParamA = DialogWithPress;

  Stamp("dialog shown");
  const int result = InstallerMain(GetModuleHandleA(NULL));
  // Each mark starts the phase it names; "end" ends the last.
  for (size_t i = 1; i < Marks.size() && strcmp(Marks[i - 1].phase, "end") != 0; ++i) {
    printf("phase %s %.1f\n", Marks[i - 1].phase,
           (Marks[i].at.QuadPart - Marks[i - 1].at.QuadPart) * 1000.0 / Frequency.QuadPart);
  }
  char tracePath[MAX_PATH];
  if (Tracing) {
    GetEnvironmentVariableA("PHASES_TRACE", tracePath, sizeof(tracePath));
    FILE* out = fopen(tracePath, "w");
    if (out != NULL) {
      for (const Shown& shown : Trace)
        fprintf(out, "%.1f %d\n", shown.ms, shown.permille);
      fclose(out);
    }
  }
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
  printf("progress-messages %d\nrepaints %d\nmessages-pumped %d\nresult %d\n", ProgressMessages, Repaints,
         Pumped, result);
  return result == 1 ? 0 : 1;
}
