// Binding to the platform's cabinet library (Wine's cabinet.dll here).

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cabinet/binding.h"
#include "tests/support/platform_guard.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_args.h"
#include "ui/progress.h"

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

class CallbacksTest : public testing::Test {
 protected:
  void SetUp() override { ProgressReset(); }
  std::string P(const std::string& name) const { return dir_ / name; }
  TempDir dir_;
};

// A file the library creates in a folder that does not exist yet gets its
// folders made first.
TEST_F(CallbacksTest, OpenForWritingMakesFolders) {
  std::string path = P("a\\b\\f.txt");
  INT_PTR handle = CabOpen(&path[0], 0x8122, 0x180);
  ASSERT_NE(handle, -1);
  EXPECT_EQ(CabWrite(handle, const_cast<char*>("data"), 4), 4u);
  EXPECT_EQ(CabClose(handle), 0);
  EXPECT_EQ(ReadFileBytes(path), "data");
}

// A cabinet opened for reading, with the writable permission the library
// passes, or with none, makes no folders when it is missing.
TEST_F(CallbacksTest, OpenForReadingMakesNothing) {
  for (int permission : {0x180, 0}) {
    std::string path = P("x\\y\\missing.cab");
    EXPECT_EQ(CabOpen(&path[0], 0x8000, permission), -1) << permission;
    EXPECT_FALSE(PathExists(P("x"))) << permission;
  }
}

// Nothing the library hands back that the callbacks did not hand out is
// touched: a free of a small integer (as the library does when it changes
// decompressors between folders), of the middle of a block or of a block
// freed already is ignored and counted; a read, write, seek or close of a
// handle that is not open fails without touching anything.
TEST_F(CallbacksTest, ForeignValuesRefused) {
  const int before = CabForeignFrees;
  void* block = CabAlloc(64);
  ASSERT_NE(block, nullptr);
  CabFree(reinterpret_cast<void*>(0x33));
  CabFree(reinterpret_cast<void*>(0x39));
  CabFree(static_cast<char*>(block) + 16);
  CabFree(block);
  CabFree(block);
  EXPECT_EQ(CabForeignFrees - before, 4);
  EXPECT_EQ(CabFreeLeftovers(), 0);

  // Many blocks, freed in an order of their own between foreign frees: each
  // live one is still known, each freed one no longer, and those never freed
  // are the leftovers.
  std::vector<void*> blocks;
  for (int i = 0; i < 3000; ++i) {
    blocks.push_back(CabAlloc(static_cast<ULONG>(i % 3 == 0 ? 0 : 24)));
    ASSERT_NE(blocks.back(), nullptr) << i;
  }
  const int foreign = CabForeignFrees;
  for (size_t i = 0; i < blocks.size(); i += (i % 7 == 0 ? 2 : 3)) {
    CabFree(blocks[i]);
    CabFree(blocks[i]);
    CabFree(static_cast<char*>(blocks[i]) + 8);
    blocks[i] = NULL;
  }
  const int foreignFreed = CabForeignFrees - foreign;
  int kept = 0;
  for (size_t i = blocks.size(); i-- > 0;) {
    if (blocks[i] != NULL && i % 5 != 0) {
      CabFree(blocks[i]);
    } else if (blocks[i] != NULL) {
      ++kept;
    }
  }
  EXPECT_EQ(CabForeignFrees - foreign, foreignFreed);
  EXPECT_EQ(CabFreeLeftovers(), kept);

  std::string path = P("f");
  INT_PTR handle = CabOpen(&path[0], 0x8122, 0x180);
  ASSERT_NE(handle, -1);
  char buffer[4];
  for (INT_PTR other : {handle + 4, static_cast<INT_PTR>(0x43), static_cast<INT_PTR>(-1)}) {
    SCOPED_TRACE(other);
    EXPECT_EQ(CabRead(other, buffer, 4), static_cast<UINT>(-1));
    EXPECT_EQ(CabWrite(other, buffer, 4), static_cast<UINT>(-1));
    EXPECT_EQ(CabSeek(other, 0, SEEK_SET), -1);
    EXPECT_EQ(CabClose(other), -1);
  }
  CabWatchWrites();
  EXPECT_EQ(CabClose(handle), 0);
  EXPECT_EQ(CabClose(handle), -1);
  EXPECT_EQ(CabCloseLeftovers(), 0);
}

int Advanced;
// Every advance reads the clock, whether or not the bar is redrawn.
DWORD WINAPI CountAdvance() {
  ++Advanced;
  return 0;
}

// The bar moves before each write, also for a write of 0 bytes and for one
// that fails.
TEST_F(CallbacksTest, WriteAdvancesFirst) {
  ScopedPlatform platform;
  Platform.GetTickCount = CountAdvance;
  Advanced = 0;
  std::string path = P("w");
  INT_PTR handle = CabOpen(&path[0], 0x8000 | 0x100, 0x100);  // read-only handle
  ASSERT_NE(handle, -1);
  CabWrite(handle, const_cast<char*>("x"), 0);
  EXPECT_EQ(CabWrite(handle, const_cast<char*>("x"), 1), static_cast<UINT>(-1));
  EXPECT_EQ(Advanced, 2);
  CabClose(handle);
}

// The real library works through the callbacks: it recognises the demo
// cabinet opened by CabOpen.
TEST_F(CallbacksTest, LibraryUsesCallbacks) {
  std::string cabinet;
  for (const std::string& argument : TestArguments) {
    if (argument.compare(0, 10, "--payload=") == 0)
      cabinet = WindowsPath(argument.substr(10));
  }
  if (cabinet.empty())
    GTEST_SKIP() << "no --payload given";
  ASSERT_EQ(BindCabinetLibrary(), 1);
  ERF error = {};
  HFDI context = Cabinet.create(CabAlloc, CabFree, CabOpen, CabRead, CabWrite, CabClose, CabSeek,
                                cpu80386, &error);
  ASSERT_NE(context, nullptr);
  INT_PTR handle = CabOpen(&cabinet[0], 0x8000, 0);
  ASSERT_NE(handle, -1);
  FDICABINETINFO info = {};
  EXPECT_TRUE(Cabinet.isCabinet(context, handle, &info));
  EXPECT_EQ(info.cFiles, 6);
  CabClose(handle);
  EXPECT_TRUE(Cabinet.destroy(context));
  UnbindCabinetLibrary();
}

}  // namespace
