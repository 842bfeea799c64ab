// The companion files beside the installer, and finding the payload.

#include <gtest/gtest.h>

#include "install/payload.h"
#include "tests/support/boxes.h"
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
  EXPECT_EQ(CopyCompanionFiles(work_.c_str(), (source_ + "\\").c_str()), -1);
  EXPECT_TRUE(ListTree(work_).empty());
  EXPECT_TRUE(boxes.boxes().empty());
}

// A module without the payload resource yields 0 and no block.
TEST_F(PayloadTest, NoPayloadResource) {
  InstallerModule = GetModuleHandleA(NULL);
  const void* block = &block;
  EXPECT_EQ(FindPayload(&block), 0u);
  EXPECT_EQ(block, nullptr);
}

}  // namespace
