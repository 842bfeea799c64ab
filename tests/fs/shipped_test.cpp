// SHA-256, and the record of what is shipped beside the installer: its
// checks, and a file checked against it and held while it is used.

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fs/file.h"
#include "fs/sha256.h"
#include "fs/shipped.h"
#include "tests/support/platform_guard.h"
#include "tests/support/shipped_record.h"
#include "tests/support/temp_dir.h"

namespace {

std::string Hex(const uint8_t* digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < kSha256Size; ++i) {
    text += kDigits[digest[i] >> 4];
    text += kDigits[digest[i] & 15];
  }
  return text;
}

// The digest of `bytes` taken in pieces of `piece` bytes.
std::string Digest(const std::string& bytes, size_t piece) {
  Sha256 hash;
  Sha256Start(&hash);
  for (size_t at = 0; at < bytes.size(); at += piece)
    Sha256Take(&hash, bytes.data() + at, std::min(piece, bytes.size() - at));
  uint8_t digest[kSha256Size];
  Sha256End(&hash, digest);
  return Hex(digest);
}

// The standard's answers, whatever pieces the bytes come in (padding that
// fits the last block and padding that needs one more), with the
// processor's SHA instructions (where it has them) and without.
TEST(Sha256Test, KnownAnswers) {
  const struct {
    std::string bytes;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (bool instructions : {true, false}) {
    Sha256Instructions = instructions;
    for (const auto& c : cases) {
      for (size_t piece : {size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{1000000}})
        EXPECT_EQ(Digest(c.bytes, piece), c.digest)
            << c.bytes.size() << " bytes in pieces of " << piece << (instructions ? "" : ", portable code");
    }
  }
  Sha256Instructions = true;
}

std::string Record(const std::vector<Shipment>& entries, unsigned version = 1) {
  return RecordBytes(entries, version);
}

bool Valid(const std::string& record) {
  return ShippedRecordValid(reinterpret_cast<const uint8_t*>(record.data()), static_cast<uint32_t>(record.size()));
}

// A record is taken only whole and of the version known; anything else is
// refused, never read in part.
TEST(ShippedTest, RecordChecked) {
  const std::vector<Shipment> two = {{kShippedVolume, "produkt-2.cab", "volume"},
                                     {kShippedCompanion, "gdiplus.dll", "library"}};
  const std::string good = Record(two);
  EXPECT_TRUE(Valid(good));
  EXPECT_TRUE(Valid(Record({})));
  std::string badMagic = good;
  badMagic[0] = 'X';
  std::string moreCounted = good;
  moreCounted[6] = 3;
  const struct {
    const char* what;
    std::string record;
  } refused[] = {
      {"empty", ""},
      {"header cut", good.substr(0, 7)},
      {"another signature", badMagic},
      {"version 2", Record(two, 2)},
      {"more entries counted than there are", moreCounted},
      {"a byte after the last entry", good + "x"},
      {"an entry cut short", good.substr(0, good.size() - 1)},
      {"a name with a separator", Record({{kShippedVolume, "..\\evil.cab", "x"}})},
      {"a name with a terminator inside", Record({{kShippedVolume, std::string("a\0b", 3), "x"}})},
      {"an empty name", Record({{kShippedVolume, "", "x"}})},
      {"an unknown kind", Record({{3, "a.cab", "x"}})},
      {"a name twice", Record({{kShippedVolume, "a.cab", "x"}, {kShippedCompanion, "A.CAB", "y"}})},
  };
  for (const auto& r : refused)
    EXPECT_FALSE(Valid(r.record)) << r.what;

  const ShippedRecord record = {reinterpret_cast<const uint8_t*>(good.data()), static_cast<uint32_t>(good.size())};
  ShippedEntry entry;
  ASSERT_TRUE(FindShipped(record, kShippedCompanion, "GDIPLUS.DLL", &entry));
  EXPECT_STREQ(entry.name, "gdiplus.dll");
  EXPECT_EQ(entry.size, 7u);
  EXPECT_FALSE(FindShipped(record, kShippedVolume, "gdiplus.dll", &entry));
  EXPECT_FALSE(FindShipped(record, kShippedCompanion, "kavel.chm", &entry));
  EXPECT_FALSE(FindShipped(ShippedRecord{NULL, 0}, kShippedCompanion, "gdiplus.dll", &entry));
}

ShippedEntry EntryFor(const std::string& content) {
  const std::string record = Record({{kShippedVolume, "v.cab", content}});
  ShippedEntry entry;
  EXPECT_TRUE(FindShipped(ShippedRecord{reinterpret_cast<const uint8_t*>(record.data()),
                                        static_cast<uint32_t>(record.size())},
                          kShippedVolume, "v.cab", &entry));
  return entry;
}

int ReadCalls = 0;
BOOL WINAPI ReadEndingEarly(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped) {
  // The second read finds the end, though the file's size says more.
  if (++ReadCalls > 1) {
    *read = 0;
    return TRUE;
  }
  return PlatformReal().ReadFile(file, buffer, count < 1000 ? count : 1000, read, overlapped);
}

// A file that matches is held open with writers shut out, at its start; one
// of another size or content, missing, a directory, or read short is not,
// and nothing stays open.
TEST(ShippedTest, FileCheckedAndHeld) {
  TempDir dir;
  const std::string path = dir / "v.cab";
  const std::string content(200000, 'v');
  WriteFileBytes(path, content);
  const ShippedEntry entry = EntryFor(content);
  int32_t held;
  ASSERT_EQ(CheckShippedFile(path.c_str(), entry, &held), kShippedMatches);
  EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                        NULL),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(DeleteFileA(path.c_str()));
  char first[4];
  EXPECT_EQ(FsRead(held, first, sizeof(first)), 4);
  EXPECT_EQ(FsClose(held), 0);

  std::string changed = content;
  changed[123456] = 'w';
  WriteFileBytes(path, changed);
  EXPECT_EQ(CheckShippedFile(path.c_str(), entry, &held), kShippedDiffers);
  EXPECT_EQ(held, -1);
  WriteFileBytes(path, content + "x");
  EXPECT_EQ(CheckShippedFile(path.c_str(), entry, &held), kShippedDiffers);
  EXPECT_EQ(CheckShippedFile((dir / "missing.cab").c_str(), entry, &held), kShippedUnread);
  MakeDir(dir / "folder.cab");
  EXPECT_EQ(CheckShippedFile((dir / "folder.cab").c_str(), entry, &held), kShippedUnread);
  WriteFileBytes(path, content);
  {
    ScopedPlatform platform;
    ReadCalls = 0;
    Platform.ReadFile = ReadEndingEarly;
    EXPECT_EQ(CheckShippedFile(path.c_str(), entry, &held), kShippedUnread);
  }
  // Nothing was left open by the checks that failed: the file can be
  // written and deleted.
  WriteFileBytes(path, "free");
  EXPECT_TRUE(DeleteFileA(path.c_str()));
}

}  // namespace
