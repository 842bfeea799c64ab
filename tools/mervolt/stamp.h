// Writing a start stamp, shared by the stand-in second stage (mervolt.cpp)
// and the benchmark's (tools/bench/stage.cpp).
#ifndef TOOLS_MERVOLT_STAMP_H_
#define TOOLS_MERVOLT_STAMP_H_

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <string.h>

namespace stamp {

// The peak working set of the process that started this one, or 0.
inline unsigned long long ParentPeakWorkingSet() {
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

// Writes into `path` the moment this process started (100 ns units since
// 1601, the system clock; taken first) and its parent's peak working set.
inline void WriteStamp(const char* path) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  char text[96];
  snprintf(text, sizeof(text), "%llu %llu\r\n", ticks, ParentPeakWorkingSet());
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE)
    return;
  DWORD written;
  WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, NULL);
  CloseHandle(file);
}

}  // namespace stamp

#endif  // TOOLS_MERVOLT_STAMP_H_
