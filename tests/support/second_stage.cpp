#include "tests/support/second_stage.h"

#include "platform/platform.h"

namespace {

std::function<void(const std::string&, const std::string&)> OnStart;

BOOL WINAPI Started(LPCSTR, LPSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                    LPVOID, LPCSTR directory, LPSTARTUPINFOA, LPPROCESS_INFORMATION info) {
  if (OnStart)
    OnStart(commandLine, directory != NULL ? directory : "");
  DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &info->hProcess, 0,
                  FALSE, DUPLICATE_SAME_ACCESS);
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &info->hThread, 0,
                  FALSE, DUPLICATE_SAME_ACCESS);
  return TRUE;
}
DWORD WINAPI Ended(HANDLE, DWORD) { return WAIT_OBJECT_0; }
DWORD WINAPI EndedWithoutMessages(DWORD, const HANDLE*, BOOL, DWORD, DWORD) { return WAIT_OBJECT_0; }
BOOL WINAPI ExitCodeZero(HANDLE, LPDWORD code) {
  *code = 0;
  return TRUE;
}

}  // namespace

void FakeSecondStage(std::function<void(const std::string&, const std::string&)> onStart) {
  OnStart = onStart;
  Platform.CreateProcessA = Started;
  Platform.WaitForSingleObject = Ended;
  Platform.MsgWaitForMultipleObjects = EndedWithoutMessages;
  Platform.GetExitCodeProcess = ExitCodeZero;
}
