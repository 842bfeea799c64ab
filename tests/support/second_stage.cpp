#include "tests/support/second_stage.h"

#include "platform/platform.h"

namespace {

std::function<void(const std::string&, const std::string&)> OnStart;

std::string Narrow(const wchar_t* text) {
  if (text == NULL)
    return "";
  const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, NULL, 0, NULL, NULL);
  std::string bytes(size > 0 ? size : 1, '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, &bytes[0], size, NULL, NULL);
  bytes.resize(size > 0 ? size - 1 : 0);
  return bytes;
}

BOOL WINAPI Started(LPCWSTR, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                    LPVOID, LPCWSTR directory, LPSTARTUPINFOW, LPPROCESS_INFORMATION info) {
  if (OnStart)
    OnStart(Narrow(commandLine), Narrow(directory));
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
  Platform.CreateProcessW = Started;
  Platform.WaitForSingleObject = Ended;
  Platform.MsgWaitForMultipleObjects = EndedWithoutMessages;
  Platform.GetExitCodeProcess = ExitCodeZero;
}
