// The benchmark's second stage, packed as MERVOLT.EXE: writes into the file
// named by MERVOLT_STAMP the moment it started (100 ns units since 1601, the
// system clock) and the installer's peak working set in bytes, and exits with
// MERVOLT_EXIT (0 without it).
//
// It imports the kernel alone, so that "the second stage started" is the
// process the installer made and not the loading of the libraries a real
// second stage (or the tests' stand-in, with its window) brings along: that
// is the vendor's program's time, not the installer's.
#define PSAPI_VERSION 2
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static SIZE_T ParentPeakWorkingSet() {
  const DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return 0;
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == self)
      parent = entry.th32ParentProcessID;
  }
  CloseHandle(snapshot);
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, parent);
  if (process == NULL)
    return 0;
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  const BOOL got = GetProcessMemoryInfo(process, &counters, sizeof(counters));
  CloseHandle(process);
  return got ? counters.PeakWorkingSetSize : 0;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  char path[MAX_PATH];
  if (GetEnvironmentVariableA("MERVOLT_STAMP", path, sizeof(path)) != 0) {
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    char text[96];
    snprintf(text, sizeof(text), "%llu %llu\r\n", ticks,
             static_cast<unsigned long long>(ParentPeakWorkingSet()));
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written;
      WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, NULL);
      CloseHandle(file);
    }
  }
  char code[32];
  if (GetEnvironmentVariableA("MERVOLT_EXIT", code, sizeof(code)) != 0)
    return static_cast<int>(strtol(code, NULL, 0));
  return 0;
}
