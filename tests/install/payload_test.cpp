// The companion files beside the installer, and finding the payload.

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fs/shipped.h"
#include "install/payload.h"
#include "tests/support/boxes.h"
#include "tests/support/platform_guard.h"
#include "tests/support/shipped_record.h"
#include "tests/support/temp_dir.h"

namespace {

class PayloadTest : public testing::Test {
 protected:
  void SetUp() override {
    source_ = dir_ / "Program Files z odstępami";
    work_ = dir_ / "work";
    MakeDir(source_);
    MakeDir(work_);
  }
  TempDir dir_;
  std::string source_, work_;
};

// Every companion present is copied from a folder whose path has spaces;
// other files are left alone; nothing is shown.
TEST_F(PayloadTest, CopiesCompanionsPresent) {
  BoxScript boxes;
  WriteFileBytes(source_ + "\\kavel.chm", "help");
  WriteFileBytes(source_ + "\\wyrmo2.bi_", "two");
  WriteFileBytes(source_ + "\\other.txt", "not a companion");
  CopyCompanionFiles(work_.c_str(), (source_ + "\\").c_str());
  EXPECT_EQ(ListTree(work_), std::vector<std::string>({"kavel.chm", "wyrmo2.bi_"}));
  EXPECT_EQ(ReadFileBytes(work_ + "\\wyrmo2.bi_"), "two");
  EXPECT_TRUE(boxes.boxes().empty());
}

// With no companions nothing is copied; an empty one leaves no file behind.
TEST_F(PayloadTest, NoneOrEmptyCompanions) {
  BoxScript boxes;
  CopyCompanionFiles(work_.c_str(), (source_ + "\\").c_str());
  EXPECT_TRUE(ListTree(work_).empty());
  WriteFileBytes(source_ + "\\gdiplus.dll", "");
  EXPECT_EQ(CopyCompanionFiles(work_.c_str(), (source_ + "\\").c_str()), 0);
  EXPECT_TRUE(ListTree(work_).empty());
  EXPECT_TRUE(boxes.boxes().empty());
}

// With a record, only the companions it declares are copied, each as the
// vendor shipped it: an undeclared one (a library planted in Downloads) stays
// where it is, a declared one that is missing is passed over.
TEST_F(PayloadTest, OnlyDeclaredCompanionsCopied) {
  BoxScript boxes;
  ScopedShippedRecord record({{kShippedCompanion, "kavel.chm", "help"},
                              {kShippedCompanion, "wyrmo.bi_", "never shipped here"}});
  WriteFileBytes(source_ + "\\kavel.chm", "help");
  WriteFileBytes(source_ + "\\gdiplus.dll", "planted");
  EXPECT_EQ(CopyCompanionFiles(work_.c_str(), (source_ + "\\").c_str()), 0);
  EXPECT_EQ(ListTree(work_), std::vector<std::string>({"kavel.chm"}));
  EXPECT_EQ(ReadFileBytes(work_ + "\\kavel.chm"), "help");
  EXPECT_TRUE(boxes.boxes().empty());
}

// A declared companion that differs from what was shipped stops the run with
// a box naming it; nothing of it is copied.
TEST_F(PayloadTest, ChangedCompanionStops) {
  BoxScript boxes;
  ScopedShippedRecord record({{kShippedCompanion, "gdiplus.dll", "the vendor's"}});
  WriteFileBytes(source_ + "\\gdiplus.dll", "the vendor'S");
  EXPECT_EQ(CopyCompanionFiles(work_.c_str(), (source_ + "\\").c_str()), -1);
  EXPECT_TRUE(ListTree(work_).empty());
  ASSERT_EQ(boxes.texts().size(), 1u);
  EXPECT_EQ(boxes.texts()[0], "Zbiór " + source_ + "\\gdiplus.dll nie pochodzi z tej instalacji!\n\n"
                              "Instalacja zostanie przerwana.");
}

const char* const kNoRecord = "";
std::string FakeRecord;
HRSRC WINAPI FindFakeRecord(HMODULE module, LPCSTR name, LPCSTR type) {
  if (name == MAKEINTRESOURCEA(kShippedResourceId) && FakeRecord != kNoRecord)
    return reinterpret_cast<HRSRC>(&FakeRecord);
  return PlatformReal().FindResourceA(module, name, type);
}
HRSRC WINAPI FindNothing(HMODULE, LPCSTR, LPCSTR) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return NULL;
}
DWORD WINAPI FakeRecordSize(HMODULE, HRSRC) {
  return static_cast<DWORD>(FakeRecord.size());
}
HGLOBAL WINAPI LoadFakeRecord(HMODULE, HRSRC found) {
  return reinterpret_cast<HGLOBAL>(found);
}
LPVOID WINAPI LockFakeRecord(HGLOBAL) {
  return &FakeRecord[0];
}

// The record comes from the installer's own image: none (an older build) is
// no check at all; a damaged one, one of an unknown version, or one that
// cannot be looked for is refused.
TEST_F(PayloadTest, RecordLoaded) {
  ScopedPlatform platform;
  Platform.FindResourceA = FindFakeRecord;
  Platform.SizeofResource = FakeRecordSize;
  Platform.LoadResource = LoadFakeRecord;
  Platform.LockResource = LockFakeRecord;
  InstallerModule = GetModuleHandleA(NULL);
  FakeRecord = kNoRecord;
  EXPECT_EQ(LoadShippedRecord(), 0);
  EXPECT_EQ(Shipped.bytes, nullptr);
  FakeRecord = std::string("DMRC\x01\x00\x00\x00", 8);
  EXPECT_EQ(LoadShippedRecord(), 1);
  EXPECT_NE(Shipped.bytes, nullptr);
  FakeRecord = std::string("DMRC\x02\x00\x00\x00", 8);
  EXPECT_EQ(LoadShippedRecord(), -1);
  EXPECT_EQ(Shipped.bytes, nullptr);
  FakeRecord = std::string("DMRC\x01\x00\x01\x00", 8);
  EXPECT_EQ(LoadShippedRecord(), -1);
  // A search that fails for another reason than "not there" is no proof
  // that there is no record.
  Platform.FindResourceA = FindNothing;
  EXPECT_EQ(LoadShippedRecord(), -1);
}

// A module without the payload resource yields 0 and no block.
TEST_F(PayloadTest, NoPayloadResource) {
  InstallerModule = GetModuleHandleA(NULL);
  const void* block = &block;
  EXPECT_EQ(FindPayload(&block), 0u);
  EXPECT_EQ(block, nullptr);
}

}  // namespace
