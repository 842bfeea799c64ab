// Binding to the platform's cabinet library (Wine's cabinet.dll here).

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cabinet/binding.h"
#include "tests/support/platform_guard.h"

namespace {

std::vector<std::string> LoadedPaths;
int Frees;
const char* MissingEntry;

HMODULE WINAPI RecordingLoadLibrary(LPCSTR path) {
  LoadedPaths.push_back(path);
  return PlatformReal().LoadLibraryA(path);
}
FARPROC WINAPI MaybeMissingProc(HMODULE module, LPCSTR name) {
  if (MissingEntry != NULL && strcmp(name, MissingEntry) == 0)
    return NULL;
  return PlatformReal().GetProcAddress(module, name);
}
BOOL WINAPI CountingFreeLibrary(HMODULE module) {
  ++Frees;
  return PlatformReal().FreeLibrary(module);
}
HMODULE WINAPI NoLibrary(LPCSTR) {
  return NULL;
}

class BindingTest : public testing::Test {
 protected:
  void SetUp() override {
    LoadedPaths.clear();
    Frees = 0;
    MissingEntry = NULL;
    Platform.LoadLibraryA = RecordingLoadLibrary;
    Platform.GetProcAddress = MaybeMissingProc;
    Platform.FreeLibrary = CountingFreeLibrary;
  }
  void TearDown() override { UnbindCabinetLibrary(); }
  static bool AllNull() {
    return Cabinet.library == NULL && Cabinet.copy == NULL && Cabinet.isCabinet == NULL &&
           Cabinet.destroy == NULL && Cabinet.create == NULL;
  }
  ScopedPlatform platform_;
};

// The library is loaded by its full path in the system directory, so a
// planted copy beside the installer is never used; unbinding frees it.
TEST_F(BindingTest, BindsFromSystemDirectory) {
  char system[MAX_PATH];
  GetSystemDirectoryA(system, MAX_PATH);
  ASSERT_EQ(BindCabinetLibrary(), 1);
  EXPECT_EQ(LoadedPaths, std::vector<std::string>({std::string(system) + "\\CABINET.DLL"}));
  EXPECT_NE(Cabinet.copy, nullptr);
  EXPECT_NE(Cabinet.isCabinet, nullptr);
  EXPECT_NE(Cabinet.destroy, nullptr);
  EXPECT_NE(Cabinet.create, nullptr);
  UnbindCabinetLibrary();
  EXPECT_EQ(Cabinet.library, nullptr);
  EXPECT_EQ(Frees, 1);
  UnbindCabinetLibrary();
  EXPECT_EQ(Frees, 1);
}

// A library lacking any one entry point is not kept: 0, all null, freed.
TEST_F(BindingTest, MissingEntryPoint) {
  for (const char* name : {"FDICopy", "FDIIsCabinet", "FDIDestroy", "FDICreate"}) {
    Frees = 0;
    MissingEntry = name;
    EXPECT_EQ(BindCabinetLibrary(), 0) << name;
    EXPECT_TRUE(AllNull()) << name;
    EXPECT_EQ(Frees, 1) << name;
  }
}

// A library that does not load gives -1 and null slots.
TEST_F(BindingTest, LibraryMissing) {
  ASSERT_EQ(BindCabinetLibrary(), 1);
  UnbindCabinetLibrary();
  Platform.LoadLibraryA = NoLibrary;
  EXPECT_EQ(BindCabinetLibrary(), -1);
  EXPECT_TRUE(AllNull());
}

}  // namespace
