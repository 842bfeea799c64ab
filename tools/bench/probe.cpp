// What a user sees of the installer's dialog, timed from outside: how long
// after its start the dialog shows, and, with --run, how long at most the
// dialog leaves a message unanswered from "Instaluj" until it hides for the
// second stage.
//
// The probe starts the installer itself and watches for its dialog. With
// --run it presses "Instaluj" (the command the button sends) and then sends
// the dialog an empty message (WM_NULL) again and again, each answered only
// when the dialog's thread handles its messages: the longest time between
// two answers is the longest the dialog stood still, to within the probe's
// own round trip (a millisecond or so under Wine).
//
// Usage: bench_probe INSTALLER.exe [--run]
// Prints one line: shown_ms=N [run_ms=N still_ms=N answers=N] exit=N

#include <windows.h>

#include <stdio.h>
#include <wchar.h>

static const char kDialogTitle[] = "Korvani Dalmera - Instalator";
static const double kPatienceMs = 600000;

static double NowMs() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(count.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

static int Fail(const char* what) {
  fprintf(stderr, "bench_probe: %s\n", what);
  return 2;
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || (argc == 3 && wcscmp(argv[2], L"--run") != 0) || argc > 3)
    return Fail("usage: bench_probe INSTALLER.exe [--run]");
  const bool run = argc == 3;
  static wchar_t commandLine[32768];
  _snwprintf(commandLine, sizeof(commandLine) / sizeof(commandLine[0]) - 1, L"\"%ls\"", argv[1]);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  const double start = NowMs();
  if (!CreateProcessW(argv[1], commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
    return Fail("the installer could not be started");

  HWND dialog = NULL;
  while ((dialog = FindWindowA(NULL, kDialogTitle)) == NULL || !IsWindowVisible(dialog)) {
    if (WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0)
      return Fail("the installer ended before its dialog showed");
    if (NowMs() - start > kPatienceMs)
      return Fail("the dialog did not show");
  }
  printf("shown_ms=%.0f", NowMs() - start);

  if (!run) {
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  } else {
    // A moment as a user would take to read the dialog.
    Sleep(300);
    const double pressed = NowMs();
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    double last = pressed;
    double longest = 0;
    int answers = 0;
    while (IsWindowVisible(dialog)) {
      DWORD_PTR result;
      if (!SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_NORMAL, static_cast<UINT>(kPatienceMs), &result))
        break;
      const double now = NowMs();
      if (now - last > longest)
        longest = now - last;
      last = now;
      ++answers;
      Sleep(1);
    }
    printf(" run_ms=%.0f still_ms=%.1f answers=%d", NowMs() - pressed, longest, answers);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  printf(" exit=%ld\n", static_cast<long>(code));
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}
