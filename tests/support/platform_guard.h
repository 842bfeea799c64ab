// Saves the platform table and puts it back when the scope ends, so a test
// can replace single entries:
//   ScopedPlatform platform;
//   Platform.LocalAlloc = FailingLocalAlloc;

#ifndef INSTALLER_TESTS_SUPPORT_PLATFORM_GUARD_H_
#define INSTALLER_TESTS_SUPPORT_PLATFORM_GUARD_H_

#include "platform/platform.h"

class ScopedPlatform {
 public:
  ScopedPlatform() : saved_(Platform) {}
  ~ScopedPlatform() { Platform = saved_; }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  PlatformTable saved_;
};

// True when every entry of Platform is the real function again.
bool PlatformIsReal();

#endif  // INSTALLER_TESTS_SUPPORT_PLATFORM_GUARD_H_
