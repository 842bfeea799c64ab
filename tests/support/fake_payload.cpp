#include "tests/support/fake_payload.h"

#include <windows.h>

#include "tests/support/platform_guard.h"

std::string FakePayload;
std::string FakeInstallerPath;

namespace {

// The payload's handles; no resource of the program's own has them.
const HRSRC kPayloadFound = reinterpret_cast<HRSRC>(1);
const HGLOBAL kPayloadLoaded = reinterpret_cast<HGLOBAL>(1);

HRSRC WINAPI PayloadFindResource(HMODULE module, LPCSTR name, LPCSTR type) {
  if (type == RT_RCDATA && name == MAKEINTRESOURCEA(45514))
    return kPayloadFound;
  return PlatformReal().FindResourceA(module, name, type);
}
DWORD WINAPI PayloadSize(HMODULE module, HRSRC found) {
  return found == kPayloadFound ? static_cast<DWORD>(FakePayload.size())
                                : PlatformReal().SizeofResource(module, found);
}
HGLOBAL WINAPI PayloadLoad(HMODULE module, HRSRC found) {
  return found == kPayloadFound ? kPayloadLoaded : PlatformReal().LoadResource(module, found);
}
LPVOID WINAPI PayloadLock(HGLOBAL loaded) {
  return loaded == kPayloadLoaded ? &FakePayload[0] : PlatformReal().LockResource(loaded);
}
DWORD WINAPI InstallerPath(HMODULE, LPWSTR buffer, DWORD size) {
  return static_cast<DWORD>(MultiByteToWideChar(CP_ACP, 0, FakeInstallerPath.c_str(), -1, buffer, size)) - 1;
}

}  // namespace

void ServeFakePayload() {
  Platform.FindResourceA = PayloadFindResource;
  Platform.SizeofResource = PayloadSize;
  Platform.LoadResource = PayloadLoad;
  Platform.LockResource = PayloadLock;
  Platform.GetModuleFileNameW = InstallerPath;
}
