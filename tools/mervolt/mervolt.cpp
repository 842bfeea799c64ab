// A stand-in second stage for tests and the demo, built as MERVOLT.EXE.
//
// It reports what the installer handed over: its command line (as the
// process got it, in UTF-16, and the first argument as a program reading it
// in the ANSI code page sees it), its current directory, every file around
// it (attributes, size, local write time) and whether the installer's dialog
// is still visible. The report is UTF-8, so that names outside any code page
// come through.
//   MERVOLT_REPORT=1  also write the report as mervolt-report.txt into the
//                     installer's folder (taken from the -i= switch);
//   MERVOLT_EXIT=N    exit with N at once, without a window (tests);
//   MERVOLT_CHECKSUMS=1 also give each file's CRC-32, as "crc32 NAME HEX";
//   MERVOLT_STAMP=F   first of all, write into file F the moment it started
//                     (100 ns units since 1601, the system clock) and the
//                     installer's peak working set in bytes (benchmarks);
//   MERVOLT_LINGER=MS leave a helper running in the current directory (a
//                     copy of this program, which waits MS milliseconds) and
//                     exit without waiting for it, as real second stages do;
//   MERVOLT_BROADCAST=1 before the report, tell every top-level window that the
//                     environment changed, with SendMessage and no time
//                     limit, as installers do after adding to PATH: it returns
//                     only once every window has answered;
// otherwise the report is shown in a window until the user closes it.

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "stamp.h"

namespace {

const char kDialogCaption[] = "Korvani Dalmera - Instalator";

std::string Format(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  return buffer;
}

std::string Utf8(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, NULL, 0, NULL, NULL);
  std::string bytes(size > 0 ? size : 1, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], size, NULL, NULL);
  bytes.resize(size > 0 ? size - 1 : 0);
  return bytes;
}

std::wstring Widen(const char* text, UINT codePage) {
  const int size = MultiByteToWideChar(codePage, 0, text, -1, NULL, 0);
  std::wstring wide(size > 0 ? size : 1, L'\0');
  MultiByteToWideChar(codePage, 0, text, -1, &wide[0], size);
  wide.resize(size > 0 ? size - 1 : 0);
  return wide;
}

std::string AttributeLetters(DWORD attributes) {
  std::string letters;
  letters += (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 'd' : '-';
  letters += (attributes & FILE_ATTRIBUTE_READONLY) ? 'r' : '-';
  letters += (attributes & FILE_ATTRIBUTE_HIDDEN) ? 'h' : '-';
  letters += (attributes & FILE_ATTRIBUTE_SYSTEM) ? 's' : '-';
  letters += (attributes & FILE_ATTRIBUTE_ARCHIVE) ? 'a' : '-';
  return letters;
}

// The entries matching `pattern`, but "." and "..", in the order the file
// system gives them (readers sort).
std::vector<WIN32_FIND_DATAW> Entries(const std::wstring& pattern) {
  std::vector<WIN32_FIND_DATAW> entries;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE)
    return entries;
  do {
    if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0)
      entries.push_back(data);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return entries;
}

// The CRC-32 of the file at `path` (the zip and cabinet polynomial).
DWORD FileCrc32(const std::wstring& path) {
  static DWORD table[256];
  if (table[1] == 0) {
    for (DWORD i = 0; i < 256; ++i) {
      DWORD c = i;
      for (int k = 0; k < 8; ++k)
        c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
  }
  DWORD crc = 0xFFFFFFFFu;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, NULL);
  if (file == INVALID_HANDLE_VALUE)
    return 0;
  std::vector<unsigned char> buffer(1 << 20);
  DWORD got = 0;
  while (ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, NULL) && got > 0) {
    for (DWORD i = 0; i < got; ++i)
      crc = table[(crc ^ buffer[i]) & 0xFF] ^ (crc >> 8);
  }
  CloseHandle(file);
  return crc ^ 0xFFFFFFFFu;
}

// One line per entry below `dir`, depth first.
void ListFiles(const std::wstring& dir, const std::wstring& prefix, std::string* out) {
  for (const WIN32_FIND_DATAW& data : Entries(dir + L"\\*")) {
    const std::wstring name = data.cFileName;
    FILETIME local;
    SYSTEMTIME time;
    FileTimeToLocalFileTime(&data.ftLastWriteTime, &local);
    FileTimeToSystemTime(&local, &time);
    *out += Format("file %s %s %lu %04u-%02u-%02u %02u:%02u:%02u\r\n", Utf8(prefix + name).c_str(),
                   AttributeLetters(data.dwFileAttributes).c_str(),
                   static_cast<unsigned long>(data.nFileSizeLow), time.wYear, time.wMonth, time.wDay,
                   time.wHour, time.wMinute, time.wSecond);
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      ListFiles(dir + L"\\" + name, prefix + name + L"\\", out);
    else if (GetEnvironmentVariableA("MERVOLT_CHECKSUMS", NULL, 0) != 0)
      *out += Format("crc32 %s %08lx\r\n", Utf8(prefix + name).c_str(),
                     static_cast<unsigned long>(FileCrc32(dir + L"\\" + name)));
  }
}

// Lists the installer's folder named by `folder` (one line per entry, as
// "medium NAME"), so that a test sees that the folder handed over is real.
void ListMedium(const std::wstring& folder, std::string* out) {
  for (const WIN32_FIND_DATAW& data : Entries(folder + L"*"))
    *out += "medium " + Utf8(data.cFileName) + "\r\n";
}

// The installer's folder from "-i=0x3D7B1,FOLDER ...", or "".
std::wstring InstallerFolder() {
  const std::wstring command = GetCommandLineW();
  const std::wstring marker = L"-i=0x3D7B1,";
  const size_t start = command.find(marker);
  if (start == std::wstring::npos)
    return std::wstring();
  const size_t from = start + marker.size();
  return command.substr(from, command.find(L' ', from) - from);
}

std::string BuildReport() {
  std::string report;
  report += "command " + Utf8(GetCommandLineW()) + "\r\n";
  WCHAR current[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, current);
  report += "directory " + Utf8(current) + "\r\n";
  WCHAR self[MAX_PATH];
  GetModuleFileNameW(NULL, self, MAX_PATH);
  report += "program " + Utf8(self) + "\r\n";
  // The first argument as the C runtime parses the command line in the
  // ANSI code page: what a second stage acts upon.
  report += "argument1 " + Utf8(Widen(__argc > 1 ? __argv[1] : "", CP_ACP)) + "\r\n";
  HWND dialog = FindWindowA(NULL, kDialogCaption);
  report += std::string("dialog ") +
            (dialog == NULL ? "absent" : IsWindowVisible(dialog) ? "visible" : "hidden") + "\r\n";
  ListMedium(InstallerFolder(), &report);
  std::wstring selfDir = self;
  selfDir.resize(selfDir.rfind(L'\\'));
  ListFiles(selfDir, L"", &report);
  return report;
}

void WriteReport(const std::string& report) {
  const std::wstring path = InstallerFolder() + L"mervolt-report.txt";
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE)
    return;
  DWORD written;
  WriteFile(file, report.data(), static_cast<DWORD>(report.size()), &written, NULL);
  CloseHandle(file);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE:
      MoveWindow(GetDlgItem(window, 1), 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

void ShowReport(HINSTANCE instance, const std::string& report) {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursor(NULL, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = "MervoltReport";
  RegisterClassA(&windowClass);
  HWND window = CreateWindowA("MervoltReport", "MERVOLT - druga faza instalacji (demo)",
                              WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 760, 420, NULL,
                              NULL, instance, NULL);
  HWND edit = CreateWindowW(L"EDIT", Widen(report.c_str(), CP_UTF8).c_str(),
                            WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                                ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                            0, 0, 0, 0, window, reinterpret_cast<HMENU>(1), instance, NULL);
  SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(ANSI_FIXED_FONT)), TRUE);
  RECT client;
  GetClientRect(window, &client);
  MoveWindow(edit, 0, 0, client.right, client.bottom, TRUE);
  ShowWindow(window, SW_SHOWNORMAL);
  MSG message;
  while (GetMessageA(&message, NULL, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

}  // namespace

// Starts this program again as a helper that waits `ms` in the current
// directory; does not wait for it.
void LeaveHelper(const char* ms) {
  char self[MAX_PATH];
  GetModuleFileNameA(NULL, self, MAX_PATH);
  SetEnvironmentVariableA("MERVOLT_HELPER", ms);
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  std::string command = std::string("\"") + self + "\"";
  if (CreateProcessA(self, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  SetEnvironmentVariableA("MERVOLT_HELPER", NULL);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  char linger[32];
  if (GetEnvironmentVariableA("MERVOLT_HELPER", linger, sizeof(linger)) != 0) {
    Sleep(strtoul(linger, NULL, 10));
    return 0;
  }
  if (GetEnvironmentVariableA("MERVOLT_LINGER", linger, sizeof(linger)) != 0)
    LeaveHelper(linger);
  char stamp[MAX_PATH];
  if (GetEnvironmentVariableA("MERVOLT_STAMP", stamp, sizeof(stamp)) != 0)
    stamp::WriteStamp(stamp);
  if (GetEnvironmentVariableA("MERVOLT_BROADCAST", NULL, 0) != 0) {
    static const char kEnvironment[] = "Environment";
    SendMessageA(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(kEnvironment));
  }
  const std::string report = BuildReport();
  if (GetEnvironmentVariableA("MERVOLT_REPORT", NULL, 0) != 0)
    WriteReport(report);
  char exitCode[32];
  if (GetEnvironmentVariableA("MERVOLT_EXIT", exitCode, sizeof(exitCode)) != 0)
    return static_cast<int>(strtol(exitCode, NULL, 0));
  ShowReport(instance, report);
  return 0;
}
