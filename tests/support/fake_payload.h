// An installer whose payload and own path are the test's: the resource
// functions and GetModuleFileNameW of the platform table replaced.

#ifndef INSTALLER_TESTS_SUPPORT_FAKE_PAYLOAD_H_
#define INSTALLER_TESTS_SUPPORT_FAKE_PAYLOAD_H_

#include <string>

// The bytes served as the payload resource, and the installer's full path.
extern std::string FakePayload;
extern std::string FakeInstallerPath;

// Serves FakePayload and FakeInstallerPath for the life of the current
// platform table (callers hold a ScopedPlatform); every other resource is
// the test program's own.
void ServeFakePayload();

#endif  // INSTALLER_TESTS_SUPPORT_FAKE_PAYLOAD_H_
