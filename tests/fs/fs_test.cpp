// The file-system layer on real files under Wine, with faults injected
// through the platform seam where the real system cannot be made to fail.

#include <string.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "fs/file.h"
#include "fs/find.h"
#include "fs/path.h"
#include "fs/tree.h"
#include "tests/support/boxes.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"
#include "ui/messages.h"

namespace {

class FsTest : public testing::Test {
 protected:
  void SetUp() override {
    FsErrno = 0;
    FsOsErrno = 0;
    InstallerWindow = NULL;
  }
  std::string P(const std::string& name) const { return dir_ / name; }
  TempDir dir_;
};

// OS codes map to the C library's numbers, by table and then by range.
TEST_F(FsTest, OsErrorMapping) {
  const struct { uint32_t os, mapped; } cases[] = {
      {183, 17}, {80, 17}, {3, 2}, {25, 13}, {19, 13}, {36, 13}, {37, 22}, {190, 8},
      {188, 8}, {202, 8}, {203, 22}, {1816, 12}, {300, 22}, {109, 32}, {145, 41}, {0, 22},
      // A name too long is not "no such file", which removals take for gone.
      {206, 38}};
  for (const auto& c : cases) {
    FsSetOsError(c.os);
    EXPECT_EQ(FsErrno, c.mapped) << "OS code " << c.os;
    EXPECT_EQ(FsOsErrno, c.os);
  }
}

// Invalid access bits or share modes fail before the platform is asked.
TEST_F(FsTest, OpenRejectsBadArguments) {
  EXPECT_EQ(FsOpen(P("a").c_str(), 0x103, 0x40, 0x180), -1);
  EXPECT_EQ(FsErrno, 22u);
  EXPECT_EQ(FsOsErrno, 0u);
  FsOsErrno = 77;
  EXPECT_EQ(FsOpen(P("a").c_str(), 0x102, 0, 0x180), -1);
  EXPECT_EQ(FsErrno, 22u);
  EXPECT_EQ(FsOsErrno, 0u);
  EXPECT_FALSE(PathExists(P("a")));
}

// Create without truncate keeps an existing file's bytes; a new file made
// without the writable bit is read-only; truncate needs an existing file. No
// handle is inheritable, so none leaks into the second stage.
TEST_F(FsTest, OpenDispositions) {
  WriteFileBytes(P("old"), "0123456789");
  int32_t h = FsOpen(P("old").c_str(), 0x8102, 0x40, 0x180);
  ASSERT_NE(h, -1);
  EXPECT_EQ(FsSize(h), 10);
  DWORD handleFlags = HANDLE_FLAG_INHERIT;
  EXPECT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(static_cast<intptr_t>(h)), &handleFlags));
  EXPECT_EQ(handleFlags & HANDLE_FLAG_INHERIT, 0u);
  EXPECT_EQ(FsClose(h), 0);

  h = FsOpen(P("ro").c_str(), 0x8101, 0x40, 0x100);
  ASSERT_NE(h, -1);
  FsClose(h);
  EXPECT_EQ(Attributes(P("ro")) & FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY);

  h = FsOpen(P("old").c_str(), 0x400, 0x40, 0);
  ASSERT_NE(h, -1);
  FsClose(h);
  h = FsOpen(P("old").c_str(), 0x602, 0x40, 0);
  ASSERT_NE(h, -1);
  EXPECT_EQ(FsSize(h), 0);
  FsClose(h);
  EXPECT_EQ(FsOpen(P("missing").c_str(), 0x602, 0x40, 0), -1);
  EXPECT_EQ(FsErrno, 2u);
  EXPECT_EQ(FsOsErrno, 2u);
  EXPECT_FALSE(PathExists(P("missing")));
}

BOOL WINAPI BrokenPipeRead(HANDLE, LPVOID, DWORD, LPDWORD done, LPOVERLAPPED) {
  *done = 0;
  SetLastError(ERROR_BROKEN_PIPE);
  return FALSE;
}

// A read whose writer has gone is the end of the data, not an error.
TEST_F(FsTest, BrokenPipeReadsAsEnd) {
  ScopedPlatform platform;
  Platform.ReadFile = BrokenPipeRead;
  FsErrno = 5;
  FsOsErrno = 6;
  char buffer[4];
  EXPECT_EQ(FsRead(1234, buffer, sizeof(buffer)), 0);
  EXPECT_EQ(FsErrno, 5u);
  EXPECT_EQ(FsOsErrno, 6u);
}

// Asking for write access to a read-only file fails with 13, found by the
// layer itself (no system code); clearing read-only keeps the other
// attributes.
TEST_F(FsTest, AccessAndChmod) {
  WriteFileBytes(P("f"), "x");
  SetFileAttributesA(P("f").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(FsAccess(P("f").c_str(), 0), 0);
  EXPECT_EQ(FsAccess(P("f").c_str(), 2), -1);
  EXPECT_EQ(FsErrno, 13u);
  EXPECT_EQ(FsOsErrno, 0u);
  EXPECT_EQ(FsChmod(P("f").c_str(), 0x80), 0);
  EXPECT_EQ(Attributes(P("f")) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
            static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(FsAccess(P("missing").c_str(), 0), -1);
  EXPECT_EQ(FsErrno, 2u);
}

std::vector<std::string> Search(const std::string& dir, uint32_t mask) {
  std::vector<std::string> names;
  FindBlock block;
  for (int r = FsFindFirstMatching((dir + "\\*.*").c_str(), &block, mask); r == 0;
       r = FsFindNextMatching(&block))
    names.push_back(block.record.name);
  EXPECT_EQ(FsErrno, 18u);
  FsFindEnd(&block);
  std::sort(names.begin(), names.end());
  return names;
}

// The attribute mask decides which entries a search sees.
TEST_F(FsTest, SearchMasks) {
  WriteFileBytes(P("plain"), "");
  WriteFileBytes(P("hidden"), "");
  WriteFileBytes(P("hidsys"), "");
  MakeDir(P("sub"));
  SetFileAttributesA(P("hidden").c_str(), FILE_ATTRIBUTE_HIDDEN);
  SetFileAttributesA(P("hidsys").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  EXPECT_EQ(Search(dir_.path(), 0x10), std::vector<std::string>({".", "..", "plain", "sub"}));
  EXPECT_EQ(Search(dir_.path(), 0x37),
            std::vector<std::string>({".", "..", "hidden", "hidsys", "plain", "sub"}));
  EXPECT_EQ(Search(dir_.path(), 0x04), std::vector<std::string>({"hidden", "hidsys", "plain"}));
  EXPECT_EQ(Search(P("nothing"), 0x37), std::vector<std::string>());
}

BOOL WINAPI FailingFindClose(HANDLE search) {
  PlatformReal().FindClose(search);
  return FALSE;
}

// Wine reports the archive bit on every file; the platform's plain "normal".
HANDLE WINAPI NormalFindFirst(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  HANDLE search = PlatformReal().FindFirstFileA(pattern, data);
  data->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
  return search;
}

// A plain file is reported with attrib 0; FsFindEnd keeps the end-of-listing
// number even when closing fails.
TEST_F(FsTest, SearchRecordAndEnd) {
  WriteFileBytes(P("n"), "abc");
  ScopedPlatform platform;
  Platform.FindFirstFileA = NormalFindFirst;
  FindBlock block;
  ASSERT_EQ(FsFindFirstMatching(P("n").c_str(), &block, 0), 0);
  EXPECT_EQ(block.record.attrib, 0u);
  EXPECT_EQ(block.record.size, 3u);
  EXPECT_EQ(FsFindNextMatching(&block), -1);
  EXPECT_EQ(FsErrno, 18u);
  Platform.FindClose = FailingFindClose;
  EXPECT_EQ(FsFindEnd(&block), -1);
  EXPECT_EQ(FsErrno, 18u);
}

// Joining, splitting and dot names.
TEST_F(FsTest, PathHelpers) {
  const struct { const char* dir; const char* name; const char* joined; } joins[] = {
      {"", "a.txt", "a.txt"},         {"C:", "a.txt", "C:a.txt"},
      {"C:\\", "a.txt", "C:\\a.txt"}, {"C:\\tmp", "a.txt", "C:\\tmp\\a.txt"},
      {"C:x", "a", "C:x\\a"},         {"dir", "\\a", "dir\\\\a"}};
  for (const auto& j : joins) {
    char buffer[MAX_PATH];
    strcpy(buffer, j.dir);
    EXPECT_STREQ(PathJoin(buffer, sizeof(buffer), j.name), j.joined) << j.dir << " + " << j.name;
  }
  const char* text = "a\\b\\c";
  EXPECT_EQ(FindLastChar(text, '\\'), text + 3);
  EXPECT_EQ(FindLastChar("abc", '\\'), nullptr);
  EXPECT_EQ(FindLastChar("", '\\'), nullptr);
  for (const char* dots : {"", ".", "..", "..."})
    EXPECT_TRUE(IsDotsName(dots)) << dots;
  for (const char* name : {".a", "a.", "a"})
    EXPECT_FALSE(IsDotsName(name)) << name;
}

// A join that would not fit its buffer is refused and leaves it untouched.
TEST_F(FsTest, OverlongJoinRefused) {
  char buffer[16] = "C:\\twelve";
  EXPECT_EQ(PathJoin(buffer, sizeof(buffer), "abcdef"), nullptr);
  EXPECT_STREQ(buffer, "C:\\twelve");
  EXPECT_EQ(FsErrno, static_cast<uint32_t>(kFsNameTooLong));
  EXPECT_NE(PathJoin(buffer, sizeof(buffer), "abcde"), nullptr);
  EXPECT_STREQ(buffer, "C:\\twelve\\abcde");
  const std::string longPath = dir_.path() + "\\" + std::string(300, 'x') + "\\f";
  EXPECT_EQ(MakeParentDirs(longPath.c_str()), -1);
}

std::vector<std::string> DirsMade;
BOOL WINAPI RecordingCreateDirectory(LPCSTR path, LPSECURITY_ATTRIBUTES security) {
  const BOOL ok = PlatformReal().CreateDirectoryA(path, security);
  if (ok)
    DirsMade.push_back(path);
  return ok;
}

// Parent directories are made from the top down; present ones are kept.
TEST_F(FsTest, MakeParentDirsTopDown) {
  ScopedPlatform platform;
  Platform.CreateDirectoryA = RecordingCreateDirectory;
  DirsMade.clear();
  EXPECT_EQ(MakeParentDirs(P("x\\y\\z\\f.txt").c_str()), 0);
  EXPECT_EQ(DirsMade, std::vector<std::string>({P("x"), P("x\\y"), P("x\\y\\z")}));
  EXPECT_FALSE(PathExists(P("x\\y\\z\\f.txt")));
  DirsMade.clear();
  EXPECT_EQ(MakeParentDirs(P("x\\y\\z\\f.txt").c_str()), 0);
  EXPECT_TRUE(DirsMade.empty());
  EXPECT_EQ(MakeParentDirs("bare.txt"), -1);
}

// The directory call for a tree under "x?": each folder in it fails with
// `MkdirError`, the others are made. Past a budget of calls it pretends to
// succeed, so that a run-away climb ends and is counted.
DWORD MkdirError = 0;
int MkdirCalls = 0;
const int kMkdirBudget = 1000;
BOOL WINAPI FailingCreateDirectory(LPCSTR path, LPSECURITY_ATTRIBUTES security) {
  if (strstr(path, "\\x?") == NULL)
    return PlatformReal().CreateDirectoryA(path, security);
  if (++MkdirCalls > kMkdirBudget)
    return TRUE;
  SetLastError(MkdirError);
  return FALSE;
}

// Whatever keeps failing (a name the platform refuses, access, a full disk,
// parents that never appear), the parents of a path of 30 levels cost at
// most two directory calls a level, and the failure is told.
TEST_F(FsTest, MakeParentDirsWorkIsBounded) {
  std::string deep = P("x?");
  for (int level = 0; level < 29; ++level)
    deep += "\\a";
  deep += "\\f.txt";
  ScopedPlatform platform;
  Platform.CreateDirectoryA = FailingCreateDirectory;
  for (DWORD error : {ERROR_INVALID_NAME, ERROR_ACCESS_DENIED, ERROR_DISK_FULL, ERROR_PATH_NOT_FOUND}) {
    MkdirError = error;
    MkdirCalls = 0;
    EXPECT_EQ(MakeParentDirs(deep.c_str()), -1) << error;
    EXPECT_EQ(FsOsErrno, error);
    EXPECT_LE(MkdirCalls, 2 * 30) << error;
  }
  // Missing parents only: up to the first that is there, then down once each.
  Platform.CreateDirectoryA = RecordingCreateDirectory;
  DirsMade.clear();
  std::string missing = P("m");
  for (int level = 0; level < 29; ++level)
    missing += "\\b";
  EXPECT_EQ(MakeParentDirs((missing + "\\f.txt").c_str()), 0);
  EXPECT_EQ(DirsMade.size(), 30u);
  EXPECT_EQ(DirsMade.back(), missing);
}

int TempNameCalls = 0;
UINT WINAPI NoFreeTempName(LPCSTR, LPCSTR, UINT, LPSTR) {
  ++TempNameCalls;
  SetLastError(ERROR_FILE_EXISTS);
  return 0;
}

// Two unique directories differ, start with the prefix and leave no
// placeholder; without a free name none is made and nothing is recorded.
TEST_F(FsTest, MakeUniqueDirectory) {
  char a[MAX_PATH], b[MAX_PATH];
  ASSERT_EQ(MakeUniqueDirectory(dir_.path().c_str(), a, "dm_"), a);
  ASSERT_EQ(MakeUniqueDirectory(dir_.path().c_str(), b, "dm_"), b);
  EXPECT_STRNE(a, b);
  EXPECT_EQ(Attributes(a) & FILE_ATTRIBUTE_DIRECTORY, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(std::string(a).find(dir_.path() + "\\dm_"), 0u);
  EXPECT_EQ(ListTree(dir_.path()).size(), 2u);
  ScopedPlatform platform;
  Platform.GetTempFileNameA = NoFreeTempName;
  FsErrno = 99;
  EXPECT_EQ(MakeUniqueDirectory(dir_.path().c_str(), a, "dm_"), nullptr);
  EXPECT_EQ(FsErrno, 99u);
  // A folder with no room left for a drawn name is refused as too long
  // before the service is asked (Wine's would make its placeholder and hand
  // back the name cut short, unterminated); one with just enough is asked.
  const std::string parent = "C:\\" + std::string(MAX_PATH - 14 - 3, 'p');
  TempNameCalls = 0;
  EXPECT_EQ(MakeUniqueDirectory((parent + "p").c_str(), a, "dm_"), nullptr);
  EXPECT_EQ(TempNameCalls, 0);
  EXPECT_EQ(FsErrno, static_cast<uint32_t>(kFsNameTooLong));
  EXPECT_EQ(MakeUniqueDirectory(parent.c_str(), a, "dm_"), nullptr);
  EXPECT_EQ(TempNameCalls, 1);
}

// A tree with hidden, system and read-only files, deep folders included, is
// removed whole; a missing directory counts as removed.
TEST_F(FsTest, DeleteTreeRemovesEverything) {
  BoxScript boxes;
  MakeDir(P("t"));
  MakeDir(P("t\\sub"));
  WriteFileBytes(P("t\\a"), "a");
  WriteFileBytes(P("t\\sub\\h"), "h");
  WriteFileBytes(P("t\\sub\\s"), "s");
  WriteFileBytes(P("t\\r"), "r");
  SetFileAttributesA(P("t\\sub\\h").c_str(), FILE_ATTRIBUTE_HIDDEN);
  SetFileAttributesA(P("t\\sub\\s").c_str(), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN);
  SetFileAttributesA(P("t\\r").c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(DeleteTree(P("t").c_str()), 1);
  EXPECT_FALSE(PathExists(P("t")));
  EXPECT_EQ(DeleteTree(P("never").c_str()), 1);
  EXPECT_TRUE(boxes.boxes().empty());
}

// A file held open elsewhere is tried again for ten seconds; then the walk
// stops with one box naming it.
TEST_F(FsTest, DeleteTreeStopsAtBusyFile) {
  BoxScript boxes;
  MakeDir(P("t"));
  WriteFileBytes(P("t\\busy"), "b");
  HANDLE held = CreateFileA(P("t\\busy").c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  FakeClock clock;
  EXPECT_EQ(DeleteTree(P("t").c_str()), 0);
  CloseHandle(held);
  EXPECT_GE(clock.elapsed(), 10000u);
  EXPECT_LT(clock.elapsed(), 10500u);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text.find("Nie mogę usunąć zbioru " + P("t\\busy") + " (32 "), 0u)
      << boxes.boxes()[0].text;
  EXPECT_TRUE(PathExists(P("t\\busy")));
}

int BusyRemovals = 0;
BOOL WINAPI BusyRemoveDirectory(LPCSTR path) {
  if (BusyRemovals > 0) {
    --BusyRemovals;
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  return PlatformReal().RemoveDirectoryA(path);
}

// A directory in use for a moment (a helper's current directory) goes once
// it is free, without a box; one that stays in use (145 here) gets its box
// after the wait. Other errors are not waited out.
TEST_F(FsTest, DeleteTreeWaitsOutBusyDirectory) {
  BoxScript boxes;
  MakeDir(P("t"));
  WriteFileBytes(P("t\\f"), "f");
  FakeClock clock;
  Platform.RemoveDirectoryA = BusyRemoveDirectory;
  BusyRemovals = 3;
  EXPECT_EQ(DeleteTree(P("t").c_str()), 1);
  EXPECT_FALSE(PathExists(P("t")));
  EXPECT_EQ(clock.sleeps(), 3);
  EXPECT_TRUE(boxes.boxes().empty());

  MakeDir(P("t"));
  BusyRemovals = 1000000;
  EXPECT_EQ(DeleteTree(P("t").c_str()), 0);
  EXPECT_GE(clock.elapsed(), 10000u);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text.find("Nie mogę usunąć katalogu " + P("t") + " (32 "), 0u);
}

int BusyDeletions = 0;
DWORD DeletionError = 0;
BOOL WINAPI BusyDeleteFile(LPCSTR path) {
  if (BusyDeletions > 0) {
    --BusyDeletions;
    SetLastError(DeletionError);
    return FALSE;
  }
  return PlatformReal().DeleteFileA(path);
}
HANDLE WINAPI DeniedOpen(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  SetLastError(ERROR_ACCESS_DENIED);
  return INVALID_HANDLE_VALUE;
}

// Each removal or move has a patience of its own: a move whose destination
// file is busy for a moment still waits for it after an earlier removal used
// up all of its time.
TEST_F(FsTest, PatienceIsPerOperation) {
  BoxScript boxes;
  MakeDir(P("t"));
  WriteFileBytes(P("t\\busy"), "b");
  HANDLE held = CreateFileA(P("t\\busy").c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  FakeClock clock;
  EXPECT_EQ(DeleteTree(P("t").c_str()), 0);
  CloseHandle(held);
  ASSERT_GE(clock.elapsed(), 10000u);
  MakeDir(P("src"));
  MakeDir(P("dst"));
  WriteFileBytes(P("src\\f"), "new");
  WriteFileBytes(P("dst\\f"), "old");
  Platform.DeleteFileA = BusyDeleteFile;
  DeletionError = ERROR_SHARING_VIOLATION;
  BusyDeletions = 3;
  const int sleeps = clock.sleeps();
  EXPECT_EQ(MoveTree(P("src").c_str(), P("dst").c_str()), 1);
  EXPECT_EQ(clock.sleeps() - sleeps, 3);
  EXPECT_EQ(ReadFileBytes(P("dst\\f")), "new");
  EXPECT_EQ(boxes.boxes().size(), 1u);
}

// Access refused is waited out only while someone holds the entry (it can
// still be opened for deletion); refused by permissions it is told at once.
TEST_F(FsTest, DenialWaitedOnlyWhileHeld) {
  BoxScript boxes;
  MakeDir(P("t"));
  WriteFileBytes(P("t\\f"), "f");
  FakeClock clock;
  Platform.DeleteFileA = BusyDeleteFile;
  DeletionError = ERROR_ACCESS_DENIED;
  BusyDeletions = 3;
  EXPECT_EQ(DeleteTree(P("t").c_str()), 1);
  EXPECT_EQ(clock.sleeps(), 3);

  MakeDir(P("t"));
  WriteFileBytes(P("t\\f"), "f");
  BusyDeletions = 1000000;
  Platform.CreateFileA = DeniedOpen;
  EXPECT_EQ(DeleteTree(P("t").c_str()), 0);
  EXPECT_EQ(clock.sleeps(), 3);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text.find("Nie mogę usunąć zbioru " + P("t\\f") + " (5 "), 0u)
      << boxes.boxes()[0].text;
}

BOOL WINAPI NotEmptyRemoveDirectory(LPCSTR) {
  SetLastError(ERROR_DIR_NOT_EMPTY);
  return FALSE;
}
BOOL WINAPI BadNameRemoveDirectory(LPCSTR) {
  SetLastError(ERROR_INVALID_NAME);
  return FALSE;
}

BOOL WINAPI TooLongRemoveDirectory(LPCSTR) {
  SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return FALSE;
}

// A directory that will not go is named in one box of the removal kind: at
// once for an error that waiting cannot mend (a name too long is one, not a
// directory already gone), after the wait for 145.
TEST_F(FsTest, DeleteTreeDirectoryRemovalFails) {
  BoxScript boxes;
  MakeDir(P("t"));
  FakeClock clock;
  Platform.RemoveDirectoryA = BadNameRemoveDirectory;
  EXPECT_EQ(DeleteTree(P("t").c_str()), 0);
  Platform.RemoveDirectoryA = TooLongRemoveDirectory;
  EXPECT_EQ(DeleteTree(P("t").c_str()), 0);
  EXPECT_EQ(clock.sleeps(), 0);
  Platform.RemoveDirectoryA = NotEmptyRemoveDirectory;
  EXPECT_EQ(DeleteTree(P("t").c_str()), 0);
  EXPECT_GE(clock.elapsed(), 10000u);
  ASSERT_EQ(boxes.boxes().size(), 3u);
  EXPECT_EQ(boxes.boxes()[0].text.find("Nie mogę usunąć katalogu " + P("t") + " (123 "), 0u);
  EXPECT_EQ(boxes.boxes()[1].text.find("Nie mogę usunąć katalogu " + P("t") + " (206 "), 0u);
  EXPECT_EQ(boxes.boxes()[2].text.find("Nie mogę usunąć katalogu " + P("t") + " (145 "), 0u);
}

HANDLE WINAPI DeniedFindFirst(LPCSTR, LPWIN32_FIND_DATAA) {
  SetLastError(ERROR_ACCESS_DENIED);
  return INVALID_HANDLE_VALUE;
}

// A directory that cannot be listed is not taken for an empty one: when it
// will not go, one box tells at once why it could not be listed (not that
// it is not empty, after ten seconds); when it is empty after all it goes.
// Moving out of it fails with the same reason.
TEST_F(FsTest, UnlistableDirectory) {
  BoxScript boxes;
  MakeDir(P("t"));
  WriteFileBytes(P("t\\f"), "f");
  MakeDir(P("empty"));
  MakeDir(P("dst"));
  FakeClock clock;
  Platform.FindFirstFileA = DeniedFindFirst;
  EXPECT_EQ(DeleteTree(P("t").c_str()), 0);
  EXPECT_EQ(clock.sleeps(), 0);
  EXPECT_EQ(DeleteTree(P("empty").c_str()), 1);
  EXPECT_EQ(MoveTree(P("t").c_str(), P("dst").c_str()), 0);
  ASSERT_EQ(boxes.boxes().size(), 2u);
  EXPECT_EQ(boxes.boxes()[0].text.find("Nie mogę usunąć katalogu " + P("t") + " (5 "), 0u) << boxes.boxes()[0].text;
  EXPECT_EQ(boxes.boxes()[1].text.find("Nie mogę przenieść zbioru " + P("t") + " (5 "), 0u) << boxes.boxes()[1].text;
  EXPECT_TRUE(PathExists(P("t\\f")));
  EXPECT_FALSE(PathExists(P("empty")));
}

// Pretends that the directory "link" is a junction.
BOOL WINAPI LinkReportingFindNext(HANDLE search, LPWIN32_FIND_DATAA data) {
  const BOOL ok = PlatformReal().FindNextFileA(search, data);
  if (ok && strcmp(data->cFileName, "link") == 0)
    data->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return ok;
}

// A link is removed as itself: the walk never goes through it, so what it
// points to is never deleted.
TEST_F(FsTest, DeleteTreeNeverFollowsLinks) {
  BoxScript boxes;
  MakeDir(P("t"));
  MakeDir(P("t\\link"));
  WriteFileBytes(P("t\\link\\outside"), "precious");
  FakeClock clock;  // The stand-in link is a directory that is not empty.
  Platform.FindNextFileA = LinkReportingFindNext;
  EXPECT_EQ(DeleteTree(P("t").c_str()), 0);
  EXPECT_EQ(ReadFileBytes(P("t\\link\\outside")), "precious");
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text.find("Nie mogę usunąć katalogu " + P("t\\link")), 0u);
}

// Moving replaces read-only files and whole directories, carries attributes,
// and removes the emptied source.
TEST_F(FsTest, MoveTreeReplaces) {
  BoxScript boxes;
  MakeDir(P("src"));
  MakeDir(P("src\\d"));
  WriteFileBytes(P("src\\f"), "new");
  WriteFileBytes(P("src\\d\\inner"), "in");
  WriteFileBytes(P("src\\h"), "hid");
  SetFileAttributesA(P("src\\h").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                              FILE_ATTRIBUTE_READONLY);
  MakeDir(P("dst"));
  MakeDir(P("dst\\d"));
  WriteFileBytes(P("dst\\d\\stale"), "old");
  WriteFileBytes(P("dst\\f"), "old");
  SetFileAttributesA(P("dst\\f").c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(MoveTree(P("src").c_str(), P("dst").c_str()), 1);
  EXPECT_FALSE(PathExists(P("src")));
  EXPECT_EQ(ListTree(P("dst")), std::vector<std::string>({"d", "d\\inner", "f", "h"}));
  EXPECT_EQ(ReadFileBytes(P("dst\\f")), "new");
  EXPECT_EQ(Attributes(P("dst\\h")) & 7u, 7u);
  EXPECT_TRUE(boxes.boxes().empty());
}

// A file where a directory is to go cannot be deleted as a directory: one box
// of the removal kind names it.
TEST_F(FsTest, MoveTreeFileInTheWay) {
  BoxScript boxes;
  MakeDir(P("src"));
  MakeDir(P("src\\d"));
  MakeDir(P("dst"));
  WriteFileBytes(P("dst\\d"), "file");
  EXPECT_EQ(MoveTree(P("src").c_str(), P("dst").c_str()), 0);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text.find("Nie mogę usunąć katalogu " + P("dst\\d") + " ("), 0u);
}

DWORD WINAPI NoAttributes(LPCSTR) {
  SetLastError(ERROR_ACCESS_DENIED);
  return INVALID_FILE_ATTRIBUTES;
}

// A file whose attributes cannot be read is moved and gets attributes 0.
TEST_F(FsTest, MoveFileEntryWithoutAttributes) {
  WriteFileBytes(P("a"), "a");
  SetFileAttributesA(P("a").c_str(), FILE_ATTRIBUTE_HIDDEN);
  {
    ScopedPlatform platform;
    Platform.GetFileAttributesA = NoAttributes;
    EXPECT_EQ(MoveFileEntry(P("a").c_str(), P("b").c_str()), 1);
  }
  EXPECT_FALSE(PathExists(P("a")));
  EXPECT_EQ(Attributes(P("b")) & FILE_ATTRIBUTE_HIDDEN, 0u);
}

}  // namespace
