// File copying with progress: chunking, the allocation back-off, failures,
// and handles and blocks balanced on every path.

#include <string.h>

#include <vector>

#include <gtest/gtest.h>

#include "fs/copy.h"
#include "fs/file.h"
#include "tests/support/platform_guard.h"
#include "tests/support/temp_dir.h"
#include "ui/progress.h"

namespace {

std::vector<uint32_t> Advances;  // Positions sent to the bar.
std::vector<SIZE_T> Allocations;
int BlocksLive;
int HandlesLive;
SIZE_T FailAllocationsAbove;

HLOCAL WINAPI CountingLocalAlloc(UINT flags, SIZE_T size) {
  Allocations.push_back(size);
  if (size > FailAllocationsAbove)
    return NULL;
  ++BlocksLive;
  return PlatformReal().LocalAlloc(flags, size);
}
HLOCAL WINAPI CountingLocalFree(HLOCAL block) {
  --BlocksLive;
  return PlatformReal().LocalFree(block);
}
HANDLE WINAPI CountingCreateFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                 DWORD disposition, DWORD flags, HANDLE tmpl) {
  HANDLE file = PlatformReal().CreateFileA(path, access, share, sa, disposition, flags, tmpl);
  if (file != INVALID_HANDLE_VALUE)
    ++HandlesLive;
  return file;
}
BOOL WINAPI CountingCloseHandle(HANDLE handle) {
  --HandlesLive;
  return PlatformReal().CloseHandle(handle);
}
// Each chunk comes a frame after the one before, so that every move of the
// bar is shown.
DWORD WINAPI FrameApart() {
  static DWORD now = 0;
  return now += 40;
}
LRESULT WINAPI NoBar(HWND, UINT message, WPARAM wParam, LPARAM) {
  if (message == 0x402)  // PBM_SETPOS
    Advances.push_back(static_cast<uint32_t>(wParam));
  return 0;
}

class CopyTest : public testing::Test {
 protected:
  void SetUp() override {
    ProgressReset();
    ProgressLaterStages();  // Deltas in bytes are easiest to read in a later stage.
    Advances.clear();
    Allocations.clear();
    BlocksLive = 0;
    HandlesLive = 0;
    FailAllocationsAbove = ~static_cast<SIZE_T>(0);
    Platform.LocalAlloc = CountingLocalAlloc;
    Platform.LocalFree = CountingLocalFree;
    Platform.CreateFileA = CountingCreateFile;
    Platform.CloseHandle = CountingCloseHandle;
    Platform.SendMessageA = NoBar;
    Platform.GetTickCount = FrameApart;
  }
  void TearDown() override {
    EXPECT_EQ(BlocksLive, 0) << "blocks not freed";
    EXPECT_EQ(HandlesLive, 0) << "handles not closed";
  }
  std::string P(const std::string& name) const { return dir_ / name; }
  static std::string Bytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
      s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
  }
  ScopedPlatform platform_;
  TempDir dir_;
};

// 70,000 bytes go in chunks of 32,768, 32,768 and 4,464, each one advance.
TEST_F(CopyTest, WholeFileInChunks) {
  const std::string data = Bytes(70000);
  WriteFileBytes(P("src"), data);
  EXPECT_EQ(CopyWholeFile(P("src").c_str(), P("dst").c_str()), 0);
  EXPECT_EQ(ReadFileBytes(P("dst")), data);
  ASSERT_EQ(Advances.size(), 3u);
  EXPECT_EQ(Advances[0], static_cast<uint32_t>(Progress.range) * 6 / 10 + 32768);
  EXPECT_EQ(Advances[1] - Advances[0], 32768u);
  EXPECT_EQ(Advances[2] - Advances[1], 4464u);
  EXPECT_EQ(Progress.position, Progress.range);
}

// When a full chunk cannot be had the copy goes on with smaller ones.
TEST_F(CopyTest, AllocationBackOff) {
  const std::string data = Bytes(70000);
  WriteFileBytes(P("src"), data);
  FailAllocationsAbove = 31744;
  EXPECT_EQ(CopyWholeFile(P("src").c_str(), P("dst").c_str()), 0);
  EXPECT_EQ(Allocations, std::vector<SIZE_T>({32768, 31744}));
  EXPECT_EQ(ReadFileBytes(P("dst")), data);
  FailAllocationsAbove = 0;
  EXPECT_EQ(CopyWholeFile(P("src").c_str(), P("dst2").c_str()), -1);
  EXPECT_EQ(Allocations.size(), 2u + 32u);
}

// An empty source fails after making the (empty) destination; a missing one
// fails without making anything.
TEST_F(CopyTest, EmptyAndMissingSources) {
  WriteFileBytes(P("empty"), "");
  EXPECT_EQ(CopyWholeFile(P("empty").c_str(), P("dst").c_str()), -1);
  EXPECT_TRUE(PathExists(P("dst")));
  EXPECT_EQ(Progress.range, 0);
  EXPECT_EQ(CopyWholeFile(P("missing").c_str(), P("dst2").c_str()), -1);
  EXPECT_FALSE(PathExists(P("dst2")));
}

// A source of 4 GiB and 10 bytes, as the platform reports its size.
DWORD WINAPI FourGigabytesAndTen(HANDLE, LPDWORD high) {
  *high = 1;
  return 10;
}

// A source of 2 GiB or more is refused: its size's low 32 bits would pass
// for a small file, and a copy of those few bytes for success.
TEST_F(CopyTest, SourceTooBigRefused) {
  WriteFileBytes(P("src"), Bytes(100));
  Platform.GetFileSize = FourGigabytesAndTen;
  EXPECT_EQ(CopyWholeFile(P("src").c_str(), P("dst").c_str()), -1);
  EXPECT_EQ(FsErrno, static_cast<uint32_t>(kFsTooBig));
  EXPECT_EQ(ReadFileBytes(P("dst")), "");
}

// A destination that cannot be opened fails; the source is closed again.
TEST_F(CopyTest, DestinationNotOpened) {
  WriteFileBytes(P("src"), "abc");
  EXPECT_EQ(CopyWholeFile(P("src").c_str(), P("no\\such\\dst").c_str()), -1);
  EXPECT_TRUE(Advances.empty());
}

// An existing destination is written from its start and never truncated.
TEST_F(CopyTest, OverwriteWithoutTruncating) {
  const std::string head = Bytes(100);
  WriteFileBytes(P("dst"), head);
  WriteFileBytes(P("src"), "tail");
  EXPECT_EQ(CopyWholeFile(P("src").c_str(), P("dst").c_str()), 0);
  EXPECT_EQ(ReadFileBytes(P("dst")), "tail" + head.substr(4));
}

// A source shorter than asked fails at the first short read.
TEST_F(CopyTest, ShortSource) {
  WriteFileBytes(P("src"), Bytes(1000));
  const int32_t src = FsOpen(P("src").c_str(), 0x8000, 0x40, 0x100);
  const int32_t dst = FsOpen(P("dst").c_str(), 0x8102, 0x40, 0x180);
  EXPECT_EQ(CopyData(dst, 0, src, 0, 2000), -1);
  EXPECT_TRUE(Advances.empty());
  FsClose(dst);
  FsClose(src);
}

// A negative destination offset writes at the destination's position.
TEST_F(CopyTest, NegativeOffsetWritesAtPosition) {
  WriteFileBytes(P("src"), "0123456789");
  WriteFileBytes(P("dst"), "abcdef");
  const int32_t src = FsOpen(P("src").c_str(), 0x8000, 0x40, 0x100);
  const int32_t dst = FsOpen(P("dst").c_str(), 0x8102, 0x40, 0x180);
  FsSeek(dst, 2, 0);
  EXPECT_EQ(CopyData(dst, -1, src, 5, 3), 0);
  FsClose(dst);
  FsClose(src);
  EXPECT_EQ(ReadFileBytes(P("dst")), "ab567f");
}

// A block is written as one stage; a small one in one write, advanced once;
// a null block or size 0 touches nothing.
TEST_F(CopyTest, WriteBlock) {
  const std::string data = Bytes(5000);
  EXPECT_EQ(WriteBlockToFile(data.data(), 5000, P("blk").c_str()), 0);
  EXPECT_EQ(ReadFileBytes(P("blk")), data);
  EXPECT_EQ(Advances.size(), 1u);
  EXPECT_EQ(WriteBlockToFile(NULL, 5000, P("none").c_str()), -1);
  EXPECT_EQ(WriteBlockToFile(data.data(), 0, P("none").c_str()), -1);
  EXPECT_FALSE(PathExists(P("none")));
  EXPECT_EQ(Advances.size(), 1u);
}

int Drains;
BOOL WINAPI CountingPeek(LPMSG msg, HWND window, UINT first, UINT last, UINT remove) {
  ++Drains;
  return PlatformReal().PeekMessageA(msg, window, first, last, remove);
}
LRESULT WINAPI StopAtFirstMove(HWND bar, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == 0x402)  // PBM_SETPOS
    StopRequested = true;
  return NoBar(bar, message, wParam, lParam);
}

// A large block goes in pieces of 256 KiB, each moving the bar and serving
// the dialog, so that it never stands still while megabytes are written; a
// stop asked for ends the writing after the piece under way.
TEST_F(CopyTest, WriteLargeBlockInPieces) {
  Platform.PeekMessageA = CountingPeek;
  Drains = 0;
  const std::string data = Bytes(600000);
  EXPECT_EQ(WriteBlockToFile(data.data(), 600000, P("big").c_str()), 0);
  EXPECT_EQ(ReadFileBytes(P("big")), data);
  // Later-stage positions: the stage starts at 60 % of 2.5 times its size.
  EXPECT_EQ(Advances, std::vector<uint32_t>({900000 + 0x40000, 900000 + 0x80000, 1500000}));
  EXPECT_GE(Drains, 3);

  Platform.SendMessageA = StopAtFirstMove;
  EXPECT_EQ(WriteBlockToFile(data.data(), 600000, P("cut").c_str()), -1);
  EXPECT_EQ(ReadFileBytes(P("cut")), data.substr(0, 0x40000));
}

}  // namespace
