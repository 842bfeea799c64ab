// Cabinet extraction: the error texts, byte for byte in Windows-1250.

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cabinet/binding.h"
#include "cabinet/extract.h"
#include "tests/support/boxes.h"
#include "tests/support/cab_writer.h"
#include "tests/support/fake_clock.h"
#include "tests/support/platform_guard.h"
#include "tests/support/shipped_record.h"
#include "tests/support/temp_dir.h"
#include "ui/messages.h"
#include "ui/progress.h"

namespace {

// Every code has its text; unknown codes share one.
TEST(ExtractTest, ErrorTexts) {
  const struct { int code; const char* text; } cases[] = {
      {-2, "B\xb3\xb9" "d przenoszenia zbior\xf3w\nz katalogu tymczasowego"},
      {-1, "Nie mo\xbfna utworzy\xe6 katalogu tymczasowego"},
      {0, "OK"},
      {1, "Nie znaleziono archiwum .CAB"},
      {2, "To nie jest archiwum .CAB"},
      {3, "Nie rozpoznana wersja archiwum .CAB"},
      {4, "Uszkodzone archiwum .CAB"},
      {5, "Brak pami\xea" "ci"},
      {6, "Nie obs\xb3ugiwana metoda kompresji"},
      {7, "B\xb3\xb9" "d rozpakowywania"},
      {8, "B\xb3\xb9" "d zapisu do zbioru"},
      {9, "Archiwa .CAB maj\xb9 obszary zarezerwowane\no r\xf3\xbfnej d\xb3ugo\x9c" "ci"},
      {10, "Ten wolumin archiwum .CAB\nnie nale\xbfy do tego zestawu"},
      {11, "Przerwanie u\xbfytkownika"},
      {12, "Nie rozpoznany b\xb3\xb9" "d archiwum .CAB"},
      {-3, "Nie rozpoznany b\xb3\xb9" "d archiwum .CAB"},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(CabinetErrorText(c.code), c.text) << "code " << c.code;
}

// The text is shown as an error box.
TEST(ExtractTest, ShowCabinetError) {
  InstallerWindow = NULL;
  BoxScript boxes;
  ShowCabinetError(2);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text, "To nie jest archiwum .CAB");
  EXPECT_EQ(boxes.boxes()[0].type, 0x10u);
}

const char kDamaged[] = "Uszkodzone archiwum .CAB";
const char kUserAbort[] = "Przerwanie u\xbfytkownika";
const char kAbortQuestion[] = "Na pewno przerwa\xe6 operacj\xea?";

std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(seed >> 16);
  }
  return bytes;
}

std::string InsertDiskText(const std::string& path) {
  return "Prosz\xea w\xb3o\xbfy\xe6 dysk z plikiem " + path + ".";
}

std::string WrongVolumeText(const std::string& path) {
  return path + " nie jest kolejnym woluminem\ntej sekwencji plik\xf3w. Prosz\xea w\xb3o\xbfy\xe6 w\xb3" "a\x9c" "ciw\xb9 dyskietk\xea!";
}

// The local DOS date and time of a file's last write.
std::pair<WORD, WORD> WriteTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  EXPECT_TRUE(GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) << path;
  FILETIME local;
  FileTimeToLocalFileTime(&data.ftLastWriteTime, &local);
  WORD date = 0, time = 0;
  FileTimeToDosDateTime(&local, &date, &time);
  return std::make_pair(date, time);
}

// Every test works on the real library, with cabinets in `medium_` and
// `target_` as the directory to unpack into.
class ExtractSetTest : public testing::Test {
 protected:
  void SetUp() override {
    InstallerWindow = NULL;
    ProgressReset();
    ProgressLaterStages();  // Unpacking is a later stage of a run.
    ASSERT_EQ(BindCabinetLibrary(), 1);
  }
  void TearDown() override { UnbindCabinetLibrary(); }

  int Extract(const std::string& cabinet) {
    return ExtractCabinetSet(cabinet.c_str(), target_.path().c_str(), NULL);
  }
  // Writes `entries` as one cabinet into the medium and unpacks it.
  int ExtractEntries(const std::vector<CabEntry>& entries, const CabLayout& layout = CabLayout()) {
    WriteFileBytes(medium_ / "one.cab", BuildCabinet(entries, layout));
    return Extract(medium_ / "one.cab");
  }
  void WriteSet(const std::vector<std::vector<CabEntry>>& volumes) {
    std::vector<std::string> names;
    for (size_t i = 0; i < volumes.size(); ++i)
      names.push_back("vol" + std::to_string(i + 1) + ".cab");
    const std::vector<std::string> cabinets = BuildCabinetSet(volumes, names, CabLayout());
    for (size_t i = 0; i < cabinets.size(); ++i)
      WriteFileBytes(medium_ / names[i], cabinets[i]);
  }
  // Files for a set made by the platform's tool: two that span volumes,
  // one in a subfolder.
  void WriteCabarcSet(const std::string& options, const std::string& prefix = "set") {
    MakeDir(medium_ / "src");
    MakeDir(medium_ / "src\\sub");
    WriteFileBytes(medium_ / "src\\first.bin", Pattern(150000, 1));
    WriteFileBytes(medium_ / "src\\second.bin", Pattern(90000, 2));
    WriteFileBytes(medium_ / "src\\sub\\third.txt", "the third file\r\n");
    ASSERT_EQ(RunCabarc(medium_ / "src", options + " -p N ..\\" + prefix + "*.cab first.bin second.bin sub\\third.txt"), 0);
    RemoveTreeForTest(medium_ / "src");
  }
  void ExpectCabarcFiles() {
    EXPECT_EQ(ListTree(target_.path()), std::vector<std::string>({"first.bin", "second.bin", "sub", "sub\\third.txt"}));
    EXPECT_TRUE(ReadFileBytes(target_ / "first.bin") == Pattern(150000, 1));
    EXPECT_TRUE(ReadFileBytes(target_ / "second.bin") == Pattern(90000, 2));
    EXPECT_EQ(ReadFileBytes(target_ / "sub\\third.txt"), "the third file\r\n");
  }
  // Only the cabinets are left on the medium, nothing else anywhere.
  void ExpectNothingWritten(const std::vector<std::string>& cabinets) {
    EXPECT_EQ(ListTree(target_.path()), std::vector<std::string>());
    EXPECT_EQ(ListTree(medium_.path()), cabinets);
  }

  TempDir medium_;
  TempDir target_;
};

// One cabinet: every file lands in the target with its content, subfolders
// made on demand, the stored write time, and only read-only, hidden, system
// and archive kept; a file already there is replaced, others stay. The same
// for stored, MSZIP and LZX data (the shipped payload's 2 MiB window with its
// 20-byte reserve, and the smallest window), small blocks, reserved areas,
// and folders whose methods change from one to the next (the library once
// freed what it never allocated when it changed decompressors). The bar is
// full exactly when the last file is out.
TEST_F(ExtractSetTest, SingleCabinet) {
  CabLayout layouts[10];
  layouts[1].compression = kCabMszip;
  layouts[2].headerReserve = 20;
  layouts[2].folderReserve = 7;
  layouts[2].dataReserve = 3;
  layouts[2].blockSize = 1000;
  layouts[3] = layouts[2];
  layouts[3].compression = kCabMszip;
  layouts[4].compression = kCabLzx21;
  layouts[4].headerReserve = 20;
  layouts[5].compression = kCabLzx15;
  layouts[6].folders = {kCabMszip, kCabLzx21};
  layouts[7].folders = {kCabLzx21, kCabMszip};
  layouts[8].folders = {kCabStored, kCabLzx21};
  layouts[9].folders = {kCabMszip, kCabLzx21, kCabStored};
  for (const CabLayout& layout : layouts) {
    SCOPED_TRACE(testing::Message() << "compression " << layout.compression << " reserve "
                                    << layout.headerReserve << " block " << layout.blockSize
                                    << " folders " << layout.folders.size() << " first "
                                    << (layout.folders.empty() ? 0 : layout.folders[0]));
    RemoveTreeForTest(target_.path());
    MakeDir(target_.path());
    WriteFileBytes(target_ / "readme.txt", "old");
    WriteFileBytes(target_ / "kept.txt", "kept");
    std::vector<CabEntry> entries(5);
    entries[0].name = "readme.txt";
    entries[0].data = "new\r\n";
    entries[1].name = "sub\\deeper\\data.bin";
    entries[1].data = Pattern(70000, 3);
    entries[1].date = (20 << 9) | (2 << 5) | 29;  // 2000-02-29
    entries[1].time = (23 << 11) | (59 << 5) | 29;  // 23:59:58
    entries[2].name = "hidden.txt";
    entries[2].data = "h";
    entries[2].attribs = 0x02 | 0x20 | 0x40;  // hidden, archive, run after extraction
    entries[3].name = "locked.txt";
    entries[3].data = "r";
    entries[3].attribs = 0x01;
    entries[4].name = "empty.txt";
    // A name held twice: the later entry, shorter, replaces the earlier one
    // whole, attributes and all.
    entries.resize(7);
    entries[5].name = "twice.txt";
    entries[5].data = "the earlier and longer entry";
    entries[5].attribs = 0x01 | 0x02 | 0x20;
    entries[6].name = "twice.txt";
    entries[6].data = "later";
    // Files grouped by folder, in folder order, as cabinet makers write them.
    for (size_t i = 0; i < entries.size() && !layout.folders.empty(); ++i)
      entries[i].folder = static_cast<uint16_t>(i * layout.folders.size() / entries.size());
    BoxScript boxes;
    ASSERT_EQ(ExtractEntries(entries, layout), 0);
    EXPECT_EQ(boxes.texts(), std::vector<std::string>());
    EXPECT_EQ(ListTree(target_.path()),
              std::vector<std::string>({"empty.txt", "hidden.txt", "kept.txt", "locked.txt", "readme.txt",
                                        "sub", "sub\\deeper", "sub\\deeper\\data.bin", "twice.txt"}));
    for (const CabEntry& entry : entries) {
      if (&entry != &entries[5]) {
        EXPECT_TRUE(ReadFileBytes(target_ / entry.name) == entry.data) << entry.name;
      }
    }
    EXPECT_EQ(Attributes(target_ / "twice.txt"), 0x20u);
    EXPECT_EQ(ReadFileBytes(target_ / "kept.txt"), "kept");
    EXPECT_EQ(WriteTime(target_ / "sub\\deeper\\data.bin"), std::make_pair(entries[1].date, entries[1].time));
    EXPECT_EQ(WriteTime(target_ / "readme.txt"), std::make_pair(entries[0].date, entries[0].time));
    EXPECT_EQ(Attributes(target_ / "hidden.txt"), 0x22u);
    EXPECT_EQ(Attributes(target_ / "locked.txt") & 0x07, 0x01u);
    EXPECT_EQ(ListTree(medium_.path()), std::vector<std::string>({"one.cab"}));
    // The bar's scale is what unpacking writes, not the cabinet's size: it is
    // full exactly when the last file is out.
    EXPECT_EQ(Progress.position, Progress.range);
    SetFileAttributesA((target_ / "locked.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

// A cabinet named without any directory is opened from the current one.
TEST_F(ExtractSetTest, CabinetInCurrentDirectory) {
  std::vector<CabEntry> entries(1);
  entries[0].name = "a.txt";
  entries[0].data = "a";
  WriteFileBytes(medium_ / "one.cab", BuildCabinet(entries, CabLayout()));
  char saved[MAX_PATH];
  GetCurrentDirectoryA(MAX_PATH, saved);
  SetCurrentDirectoryA(medium_.path().c_str());
  const int result = Extract("one.cab");
  SetCurrentDirectoryA(saved);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(ReadFileBytes(target_ / "a.txt"), "a");
}

// Volumes whose files all end inside them are still followed to the last
// one; the library itself never says there is a next volume.
TEST_F(ExtractSetTest, SetWithoutSpanningFile) {
  for (size_t count = 2; count <= 3; ++count) {
    SCOPED_TRACE(count);
    RemoveTreeForTest(target_.path());
    MakeDir(target_.path());
    std::vector<std::vector<CabEntry>> volumes(count, std::vector<CabEntry>(1));
    std::vector<std::string> expected;
    for (size_t i = 0; i < count; ++i) {
      volumes[i][0].name = "file" + std::to_string(i + 1) + ".txt";
      volumes[i][0].data = Pattern(1000 + i, static_cast<unsigned>(i));
      expected.push_back(volumes[i][0].name);
    }
    WriteSet(volumes);
    BoxScript boxes;
    ASSERT_EQ(Extract(medium_ / "vol1.cab"), 0);
    EXPECT_EQ(boxes.texts(), std::vector<std::string>());
    EXPECT_EQ(ListTree(target_.path()), expected);
    for (const auto& volume : volumes)
      EXPECT_EQ(ReadFileBytes(target_ / volume[0].name), volume[0].data);
  }
}

// Sets laid out by the platform's own tool, with files and blocks split
// across volumes: two volumes and more, stored and MSZIP, header reserve; a
// file's folder runs through up to four volumes, and one set has two such.
TEST_F(ExtractSetTest, CabarcSets) {
  const struct { const char* options; size_t volumes; } cases[] = {
      {"-m mszip -s 20", 1},
      {"-m none -d 200000", 2},
      {"-m none -d 100000 -s 20", 3},
      {"-m none -d 50000", 5},
      {"-m none -d 70000", 4},
      {"-m mszip -d 60000", 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    RemoveTreeForTest(target_.path());
    MakeDir(target_.path());
    RemoveTreeForTest(medium_.path());
    MakeDir(medium_.path());
    WriteCabarcSet(c.options);
    EXPECT_EQ(ListTree(medium_.path()).size(), c.volumes);
    BoxScript boxes;
    EXPECT_EQ(Extract(medium_ / "set1.cab"), 0);
    EXPECT_EQ(boxes.texts(), std::vector<std::string>());
    ExpectCabarcFiles();
  }
}

// Sets whose one folder runs through three, four and five volumes, two
// whole blocks to a volume, stored, MSZIP and LZX: a file from the first
// volume into the second, one from there to the last, and one that starts in
// the last. With every volume present; with each volume given only when it
// is asked for, as disks would be; and as the installer reads them: the
// first in the folder it unpacks into, the second beside the installer (the
// medium) and each later one put there only when asked for, where the prompt
// says. The bar ends exactly full. The library takes up a folder in a later
// volume by decoding from that volume's first block, which an LZX stream does
// not allow; so with LZX the small file comes first and every file starts in
// the first volume.
TEST_F(ExtractSetTest, FolderThroughEveryVolume) {
  enum Supply { kAllThere, kOnRequest, kFromMedium };
  for (size_t count = 3; count <= 5; ++count) {
    for (CabCompression method : {kCabStored, kCabMszip, kCabLzx21}) {
      for (Supply supply : {kAllThere, kOnRequest, kFromMedium}) {
        SCOPED_TRACE(testing::Message() << count << " volumes, method " << method << ", supply " << supply);
        RemoveTreeForTest(target_.path());
        MakeDir(target_.path());
        RemoveTreeForTest(medium_.path());
        MakeDir(medium_.path());
        std::vector<CabEntry> entries(3);
        entries[0].name = "first.bin";
        entries[0].data = Pattern(method == kCabLzx21 ? 6000 : 12000, 1);
        entries[1].name = "sub\\second.bin";
        entries[1].data = Pattern((count - 1) * 8192 + 3000 - entries[0].data.size(), 2);
        entries[2].name = "third.txt";
        entries[2].data = "the third file";
        if (method == kCabLzx21)
          std::rotate(entries.begin(), entries.begin() + 2, entries.end());
        std::vector<std::string> names;
        for (size_t i = 0; i < count; ++i)
          names.push_back("vol" + std::to_string(i + 1) + ".cab");
        CabLayout layout;
        layout.compression = method;
        layout.blockSize = 4096;
        const std::vector<std::string> cabinets = BuildSpanningSet(entries, names, layout, 2);
        const std::string first = supply == kFromMedium ? target_ / names[0] : medium_ / names[0];
        std::vector<std::string> asked;
        std::vector<std::string> unpacked = {"first.bin", "sub", "sub\\second.bin", "third.txt"};
        WriteFileBytes(first, cabinets[0]);
        for (size_t i = 1; i < count; ++i) {
          if (supply == kAllThere || (supply == kFromMedium && i == 1))
            WriteFileBytes(medium_ / names[i], cabinets[i]);
          else
            asked.push_back(InsertDiskText(medium_ / names[i]));
        }
        // The volumes are read where they lie, never copied beside the first.
        if (supply == kFromMedium)
          unpacked.push_back(names[0]);
        BoxScript boxes;
        boxes.WhileOpen([&](const BoxRecord& box) {
          for (size_t i = 0; i < count; ++i) {
            if (box.text == InsertDiskText(medium_ / names[i]))
              WriteFileBytes(medium_ / names[i], cabinets[i]);
          }
          // A volume asked for again and again is not looked for where it
          // was put: end the run rather than the test.
          if (boxes.boxes().size() > 2 * count) {
            for (size_t i = 1; i < count; ++i)
              WriteFileBytes(target_ / names[i], cabinets[i]);
          }
        });
        EXPECT_EQ(ExtractCabinetSet(first.c_str(), target_.path().c_str(),
                                    supply == kFromMedium ? (medium_.path() + "\\").c_str() : NULL),
                  0);
        EXPECT_EQ(boxes.texts(), asked);
        std::sort(unpacked.begin(), unpacked.end());
        EXPECT_EQ(ListTree(target_.path()), unpacked);
        for (const CabEntry& entry : entries)
          EXPECT_TRUE(ReadFileBytes(target_ / entry.name) == entry.data) << entry.name;
        EXPECT_EQ(Progress.position, Progress.range);
      }
    }
  }
}

// A next volume whose name leaves the folder the set is read from is not
// copied in from the medium, where a file of its last component lies: it is
// only asked for, and nothing is written outside that folder.
TEST_F(ExtractSetTest, VolumeLeavingTheFolderNotFetched) {
  const std::string work = target_ / "work";
  MakeDir(work);
  std::vector<CabEntry> entries(1);
  entries[0].name = "spanning.bin";
  entries[0].data = Pattern(12000, 1);
  CabLayout layout;
  layout.blockSize = 4096;
  const std::vector<std::string> cabinets = BuildSpanningSet(entries, {"vol1.cab", "..\\vol2.cab"}, layout, 2);
  WriteFileBytes(work + "\\vol1.cab", cabinets[0]);
  WriteFileBytes(medium_ / "vol2.cab", cabinets[1]);
  BoxScript boxes;
  boxes.Answer({IDCANCEL, IDYES});
  EXPECT_EQ(ExtractCabinetSet((work + "\\vol1.cab").c_str(), work.c_str(), (medium_.path() + "\\").c_str()), -1);
  EXPECT_EQ(boxes.texts(), std::vector<std::string>({InsertDiskText(work + "\\..\\vol2.cab"), kAbortQuestion, kUserAbort}));
  EXPECT_EQ(ListTree(target_.path()), std::vector<std::string>({"work", "work\\vol1.cab"}));
}

// Whether the file at `path` can be opened for writing now.
bool Writable(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                            NULL);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  CloseHandle(file);
  return true;
}

// With the installer's record, a further volume is read only when it is the
// vendor's. One rewritten to the same size, or one the record does not name,
// is the wrong volume: Cancel and "Tak" stop with nothing unpacked, and the
// right one put in place while the prompt is open is taken at Retry. A
// volume once checked cannot be written until the set is unpacked.
TEST_F(ExtractSetTest, VolumesCheckedAgainstTheRecord) {
  std::vector<CabEntry> entries(2);
  entries[0].name = "a.bin";
  entries[0].data = Pattern(12000, 1);
  entries[1].name = "b.bin";
  entries[1].data = Pattern(9000, 2);
  CabLayout layout;
  layout.blockSize = 4096;
  const std::vector<std::string> names = {"vol1.cab", "vol2.cab", "vol3.cab"};
  const std::vector<std::string> cabinets = BuildSpanningSet(entries, names, layout, 2);
  std::string forged = cabinets[1];
  forged[forged.size() - 100] ^= 1;
  const std::string medium = medium_.path() + "\\";
  const auto extract = [&]() {
    return ExtractCabinetSet((medium_ / "vol1.cab").c_str(), target_.path().c_str(), medium.c_str());
  };
  for (size_t i = 0; i < names.size(); ++i)
    WriteFileBytes(medium_ / names[i], cabinets[i]);
  WriteFileBytes(medium_ / "vol2.cab", forged);
  {
    ScopedShippedRecord record({{kShippedVolume, "vol2.cab", cabinets[1]}, {kShippedVolume, "vol3.cab", cabinets[2]}});
    BoxScript boxes;
    boxes.Answer({IDCANCEL, IDYES});
    EXPECT_EQ(extract(), -1);
    EXPECT_EQ(boxes.texts(),
              std::vector<std::string>({WrongVolumeText(medium_ / "vol2.cab"), kAbortQuestion, kUserAbort}));
    EXPECT_EQ(ListTree(target_.path()), std::vector<std::string>());
  }
  {
    // The right one put in place at the prompt; the third asked for, and
    // the second, checked, held meanwhile.
    DeleteFileA((medium_ / "vol3.cab").c_str());
    ScopedShippedRecord record({{kShippedVolume, "vol2.cab", cabinets[1]}, {kShippedVolume, "vol3.cab", cabinets[2]}});
    BoxScript boxes;
    bool secondWritable = true;
    boxes.Answer({IDRETRY, IDOK});
    boxes.WhileOpen([&](const BoxRecord& box) {
      if (box.text == WrongVolumeText(medium_ / "vol2.cab")) {
        WriteFileBytes(medium_ / "vol2.cab", cabinets[1]);
      } else {
        secondWritable = Writable(medium_ / "vol2.cab");
        WriteFileBytes(medium_ / "vol3.cab", cabinets[2]);
      }
    });
    ASSERT_EQ(extract(), 0);
    EXPECT_EQ(boxes.texts(), std::vector<std::string>({WrongVolumeText(medium_ / "vol2.cab"),
                                                       InsertDiskText(medium_ / "vol3.cab")}));
    EXPECT_FALSE(secondWritable);
    EXPECT_TRUE(Writable(medium_ / "vol2.cab"));
    EXPECT_EQ(ListTree(target_.path()), std::vector<std::string>({"a.bin", "b.bin"}));
  }
  {
    // A volume the record does not name is not the vendor's either.
    RemoveTreeForTest(target_.path());
    MakeDir(target_.path());
    ScopedShippedRecord record({{kShippedVolume, "vol2.cab", cabinets[1]}});
    BoxScript boxes;
    boxes.Answer({IDCANCEL, IDYES});
    EXPECT_EQ(extract(), -1);
    EXPECT_EQ(boxes.texts(),
              std::vector<std::string>({WrongVolumeText(medium_ / "vol3.cab"), kAbortQuestion, kUserAbort}));
    EXPECT_EQ(ListTree(target_.path()), std::vector<std::string>());
  }
}

// A missing volume is asked for; put in place while the prompt is open and
// confirmed with OK, it is used. Both where the library asks (a file runs
// on into it) and where the next pass opens it (no file does).
TEST_F(ExtractSetTest, MissingVolumeInsertedOnRequest) {
  WriteCabarcSet("-m none -d 100000");
  const std::string second = ReadFileBytes(medium_ / "set2.cab");
  DeleteFileA((medium_ / "set2.cab").c_str());
  {
    BoxScript boxes;
    boxes.Answer({IDOK});
    boxes.WhileOpen([&](const BoxRecord&) { WriteFileBytes(medium_ / "set2.cab", second); });
    ASSERT_EQ(Extract(medium_ / "set1.cab"), 0);
    EXPECT_EQ(boxes.texts(), std::vector<std::string>({InsertDiskText(medium_ / "set2.cab")}));
    ExpectCabarcFiles();
  }

  RemoveTreeForTest(target_.path());
  MakeDir(target_.path());
  std::vector<std::vector<CabEntry>> volumes(2, std::vector<CabEntry>(1));
  volumes[0][0].name = "one.txt";
  volumes[1][0].name = "two.txt";
  volumes[1][0].data = "2";
  WriteSet(volumes);
  const std::string vol2 = ReadFileBytes(medium_ / "vol2.cab");
  DeleteFileA((medium_ / "vol2.cab").c_str());
  BoxScript again;
  again.WhileOpen([&](const BoxRecord&) { WriteFileBytes(medium_ / "vol2.cab", vol2); });
  ASSERT_EQ(Extract(medium_ / "vol1.cab"), 0);
  EXPECT_EQ(again.texts(), std::vector<std::string>({InsertDiskText(medium_ / "vol2.cab")}));
  EXPECT_EQ(ListTree(target_.path()), std::vector<std::string>({"one.txt", "two.txt"}));
}

// Declining the disk (Cancel, then "Tak" to stop) ends the extraction with
// the user-abort box; nothing reaches the target and the staging directory
// goes. Again for both ways a volume is reached.
TEST_F(ExtractSetTest, MissingVolumeRefused) {
  WriteCabarcSet("-m none -d 100000");
  DeleteFileA((medium_ / "set2.cab").c_str());
  {
    BoxScript boxes;
    boxes.Answer({IDCANCEL, IDYES});
    EXPECT_EQ(Extract(medium_ / "set1.cab"), -1);
    EXPECT_EQ(boxes.texts(),
              std::vector<std::string>({InsertDiskText(medium_ / "set2.cab"), kAbortQuestion, kUserAbort}));
    ExpectNothingWritten({"set1.cab", "set3.cab"});
  }

  std::vector<std::vector<CabEntry>> volumes(2, std::vector<CabEntry>(1));
  volumes[0][0].name = "one.txt";
  volumes[1][0].name = "two.txt";
  WriteSet(volumes);
  DeleteFileA((medium_ / "vol2.cab").c_str());
  BoxScript again;
  again.Answer({IDCANCEL, IDNO, IDCANCEL, IDYES});
  EXPECT_EQ(Extract(medium_ / "vol1.cab"), -1);
  const std::string prompt = InsertDiskText(medium_ / "vol2.cab");
  EXPECT_EQ(again.texts(), std::vector<std::string>({prompt, kAbortQuestion, prompt, kAbortQuestion, kUserAbort}));
  ExpectNothingWritten({"set1.cab", "set3.cab", "vol1.cab"});
}

// A volume of another set is reported as wrong; with the right one put in
// place, Retry goes on.
TEST_F(ExtractSetTest, WrongVolumeRetried) {
  WriteCabarcSet("-m none -d 100000 -i 111", "other");
  WriteCabarcSet("-m none -d 100000 -i 222");
  const std::string right = ReadFileBytes(medium_ / "set2.cab");
  WriteFileBytes(medium_ / "set2.cab", ReadFileBytes(medium_ / "other2.cab"));
  BoxScript boxes;
  boxes.Answer({IDRETRY});
  boxes.WhileOpen([&](const BoxRecord&) { WriteFileBytes(medium_ / "set2.cab", right); });
  ASSERT_EQ(Extract(medium_ / "set1.cab"), 0);
  ASSERT_EQ(boxes.texts().size(), 1u);
  EXPECT_EQ(boxes.texts()[0], WrongVolumeText(medium_ / "set2.cab"));
  ExpectCabarcFiles();
}

int OpensOfFirst;
std::string FirstVolume;
HANDLE WINAPI OpensOfFirstCounted(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                  DWORD disposition, DWORD flags, HANDLE model) {
  // A set unpacked round and round: after a few rounds the first volume
  // goes missing, which ends the run with a prompt rather than the test.
  if (FirstVolume == path && ++OpensOfFirst > 10) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return PlatformReal().CreateFileA(path, access, share, security, disposition, flags, model);
}

// Where no file runs on from one volume into the next, the library checks
// nothing between volumes; the installer does: a volume named as the next
// that is not the next of the first volume's set is told as wrong, whether
// it belongs to another set (an old volume left under the same name), has
// the wrong place in the set, or closes a chain of names back to the first
// volume (which would be unpacked round and round). The user gives up
// (Cancel, then "Tak"): nothing is written. The right volume put in place
// while the prompt is open, Retry goes on.
TEST_F(ExtractSetTest, VolumeOutsideTheSet) {
  std::vector<std::vector<CabEntry>> volumes(2, std::vector<CabEntry>(1));
  volumes[0][0].name = "one.txt";
  volumes[1][0].name = "two.txt";
  volumes[1][0].data = "2";
  CabLayout other;
  other.setId = 0x4321;
  CabLayout misplaced;
  misplaced.index = 2;
  CabLayout loop;
  loop.index = 1;
  loop.previous = "vol1.cab";
  loop.next = "vol1.cab";
  const struct {
    const char* what;
    std::string second;
    const char* toldWrong;  // The chain is told at the first volume, named again.
  } cases[] = {
      {"another set", BuildCabinetSet(volumes, {"vol1.cab", "vol2.cab"}, other)[1], "vol2.cab"},
      {"another place", BuildCabinet(volumes[1], misplaced), "vol2.cab"},
      {"a chain back to the first", BuildCabinet(volumes[1], loop), "vol1.cab"},
  };
  ScopedPlatform platform;
  Platform.CreateFileA = OpensOfFirstCounted;
  FirstVolume = medium_ / "vol1.cab";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteSet(volumes);
    const std::string right = ReadFileBytes(medium_ / "vol2.cab");
    WriteFileBytes(medium_ / "vol2.cab", c.second);
    const std::string wrong = WrongVolumeText(medium_ / c.toldWrong);
    OpensOfFirst = 0;
    {
      BoxScript boxes;
      boxes.Answer({IDCANCEL, IDYES});
      EXPECT_EQ(Extract(medium_ / "vol1.cab"), -1);
      EXPECT_EQ(boxes.texts(), std::vector<std::string>({wrong, kAbortQuestion, kUserAbort}));
      ExpectNothingWritten({"vol1.cab", "vol2.cab"});
    }
    if (strcmp(c.toldWrong, "vol2.cab") != 0)
      continue;
    OpensOfFirst = 0;
    BoxScript boxes;
    boxes.Answer({IDRETRY});
    boxes.WhileOpen([&](const BoxRecord&) { WriteFileBytes(medium_ / "vol2.cab", right); });
    EXPECT_EQ(Extract(medium_ / "vol1.cab"), 0);
    EXPECT_EQ(boxes.texts(), std::vector<std::string>({wrong}));
    EXPECT_EQ(ListTree(target_.path()), std::vector<std::string>({"one.txt", "two.txt"}));
    RemoveTreeForTest(target_.path());
    MakeDir(target_.path());
  }
}

int AccessChecks;
std::string GoodVolume, VolumePath;
DWORD WINAPI CountingAttributes(LPCSTR path) {
  // Without a limit the library would ask for an unusable volume forever;
  // after many silent rounds the good volume appears by itself.
  if (VolumePath == path && ++AccessChecks == 50)
    WriteFileBytes(VolumePath, GoodVolume);
  return PlatformReal().GetFileAttributesA(path);
}

// A volume that is there but cannot be used (not a cabinet) is asked for
// instead of being handed back to the library without end.
TEST_F(ExtractSetTest, UnusableVolumeAskedFor) {
  WriteCabarcSet("-m none -d 100000");
  VolumePath = medium_ / "set2.cab";
  GoodVolume = ReadFileBytes(VolumePath);
  WriteFileBytes(VolumePath, "this is no cabinet");
  AccessChecks = 0;
  ScopedPlatform platform;
  Platform.GetFileAttributesA = CountingAttributes;
  BoxScript boxes;
  boxes.WhileOpen([&](const BoxRecord&) { WriteFileBytes(VolumePath, GoodVolume); });
  ASSERT_EQ(Extract(medium_ / "set1.cab"), 0);
  EXPECT_EQ(boxes.texts(), std::vector<std::string>({InsertDiskText(VolumePath)}));
  EXPECT_LT(AccessChecks, 5);
  ExpectCabarcFiles();
}

// Payloads that are not cabinets, or damaged ones: one box with the
// library's reason, nothing written, the staging directory gone.
TEST_F(ExtractSetTest, DamagedCabinets) {
  std::vector<CabEntry> entries(2);
  entries[0].name = "a.bin";
  entries[0].data = Pattern(40000, 4);
  entries[1].name = "b.bin";
  entries[1].data = Pattern(40000, 5);
  CabLayout mszip;
  mszip.compression = kCabMszip;
  const std::string good = BuildCabinet(entries, mszip);
  std::string badBlock = good;
  badBlock[badBlock.find("CK")] = 'X';
  std::string badCount = good;
  badCount[28] = 9;  // more data blocks in the folder than there are
  const struct { std::string bytes; const char* text; } cases[] = {
      {"plain text, not a cabinet", "To nie jest archiwum .CAB"},
      {"", "To nie jest archiwum .CAB"},
      {good.substr(0, 20), "To nie jest archiwum .CAB"},
      {good.substr(0, good.size() / 2), NULL},
      {badBlock, NULL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes.size());
    WriteFileBytes(medium_ / "one.cab", c.bytes);
    BoxScript boxes;
    EXPECT_EQ(Extract(medium_ / "one.cab"), -1);
    ASSERT_EQ(boxes.texts().size(), 1u);
    if (c.text != NULL) {
      EXPECT_EQ(boxes.texts()[0], c.text);
    }
    EXPECT_NE(boxes.texts()[0], "OK");
    ExpectNothingWritten({"one.cab"});
  }
}

// A file in the target that cannot be replaced stops the move: the move's
// own box, then the extraction's; the staging directory is removed.
TEST_F(ExtractSetTest, TargetFileCannotBeReplaced) {
  std::vector<CabEntry> entries(2);
  entries[0].name = "a.txt";
  entries[0].data = "new a";
  entries[1].name = "b.txt";
  entries[1].data = "new b";
  WriteFileBytes(target_ / "a.txt", "old a");
  WriteFileBytes(target_ / "b.txt", "old b");
  HANDLE held = CreateFileA((target_ / "a.txt").c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  HANDLE held2 = CreateFileA((target_ / "b.txt").c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
  BoxScript boxes;
  FakeClock clock;  // The held file is waited for before the box.
  const int result = ExtractEntries(entries);
  CloseHandle(held);
  CloseHandle(held2);
  EXPECT_EQ(result, -1);
  ASSERT_EQ(boxes.texts().size(), 2u);
  EXPECT_EQ(boxes.texts()[1], "B\xb3\xb9" "d przenoszenia zbior\xf3w\nz katalogu tymczasowego");
  EXPECT_EQ(ListTree(target_.path()), std::vector<std::string>({"a.txt", "b.txt"}));
}

// The staging directory cannot be made in a target that does not exist.
TEST_F(ExtractSetTest, StagingNotMade) {
  std::vector<CabEntry> entries(1);
  entries[0].name = "a.txt";
  WriteFileBytes(medium_ / "one.cab", BuildCabinet(entries, CabLayout()));
  BoxScript boxes;
  EXPECT_EQ(ExtractCabinetSet((medium_ / "one.cab").c_str(), (target_ / "missing").c_str(), NULL), -1);
  EXPECT_EQ(boxes.texts(), std::vector<std::string>({"Nie mo\xbfna utworzy\xe6 katalogu tymczasowego"}));
}

// Names that would leave the staging directory are never written: the
// extraction stops with the damaged-archive box and leaves nothing behind,
// also not the files unpacked before.
TEST_F(ExtractSetTest, HostileNamesRefused) {
  MakeDir(medium_ / "in");
  const std::string inner = medium_ / "in";
  const char* names[] = {
      "..\\evil.txt",      "sub\\..\\..\\evil.txt", "..",         "sub/../../evil.txt", "\\evil.txt",
      "/evil.txt",         "C:\\evil.txt",          "C:evil.txt", "evil.txt:stream",    "",
      "sub\\..",           "..\\",
      // Devices, in any case, with an extension, trailing spaces or dots.
      "aux", "COM1", "sub\\NUL.txt", "con", "Prn.log", "lpt9", "CONIN$", "conout$.txt",
      "COM1 .log", "nul.", "sub\\Aux  ",
      // Names the platform would strip.
      "trailing.", "trailing ", "dir.\\file.txt", "dir \\file.txt",
  };
  for (const char* name : names) {
    SCOPED_TRACE(name);
    std::vector<CabEntry> entries(2);
    entries[0].name = "good.txt";
    entries[0].data = "good";
    entries[1].name = name;
    entries[1].data = "evil";
    WriteFileBytes(medium_ / "one.cab", BuildCabinet(entries, CabLayout()));
    BoxScript boxes;
    EXPECT_EQ(ExtractCabinetSet((medium_ / "one.cab").c_str(), inner.c_str(), NULL), -1);
    EXPECT_EQ(boxes.texts(), std::vector<std::string>({kDamaged}));
    EXPECT_EQ(ListTree(medium_.path()), std::vector<std::string>({"in", "one.cab"}));
    EXPECT_FALSE(PathExists("C:\\evil.txt"));
  }
}

// Names that only look like devices are ordinary files.
TEST_F(ExtractSetTest, NamesLikeDevicesKept) {
  const char* names[] = {"COM10.txt", "console.log", "LPT0", "auxiliary", "nul_x.txt", ".hidden"};
  std::vector<CabEntry> entries;
  for (const char* name : names) {
    CabEntry entry;
    entry.name = name;
    entry.data = name;
    entries.push_back(entry);
  }
  BoxScript boxes;
  ASSERT_EQ(ExtractEntries(entries), 0);
  EXPECT_EQ(boxes.texts(), std::vector<std::string>());
  EXPECT_EQ(ListTree(target_.path()).size(), entries.size());
}

// A name stored as UTF-8 is written in the ANSI code page; one that the
// code page cannot show, or that is not UTF-8 at all, is refused.
TEST_F(ExtractSetTest, Utf8Names) {
  std::vector<CabEntry> entries(1);
  entries[0].name = "za\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87.txt";  // "zażółć.txt"
  entries[0].data = "utf";
  entries[0].attribs = 0x20 | 0x80;
  {
    BoxScript boxes;
    ASSERT_EQ(ExtractEntries(entries), 0);
    EXPECT_EQ(boxes.texts(), std::vector<std::string>());
    EXPECT_EQ(ListTree(target_.path()), std::vector<std::string>({"za\xbf\xf3\xb3\xe6.txt"}));
    EXPECT_EQ(Attributes(target_ / "za\xbf\xf3\xb3\xe6.txt"), 0x20u);
  }

  RemoveTreeForTest(target_.path());
  MakeDir(target_.path());
  for (const char* name : {"\xe6\x97\xa5\xe6\x9c\xac.txt", "bad\xff.txt", "..\\x.txt"}) {
    SCOPED_TRACE(name);
    entries[0].name = name;
    BoxScript refused;
    EXPECT_EQ(ExtractEntries(entries), -1);
    EXPECT_EQ(refused.texts(), std::vector<std::string>({kDamaged}));
    ExpectNothingWritten({"one.cab"});
  }
}

HFDI DIAMONDAPI NoContext(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE, PFNSEEK, int, PERF) {
  return NULL;
}

// Without a library context nothing is shown and nothing made.
TEST_F(ExtractSetTest, NoLibraryContext) {
  const auto saved = Cabinet.create;
  Cabinet.create = NoContext;
  BoxScript boxes;
  EXPECT_EQ(Extract(medium_ / "one.cab"), -1);
  Cabinet.create = saved;
  EXPECT_EQ(boxes.texts(), std::vector<std::string>());
  EXPECT_EQ(ListTree(target_.path()), std::vector<std::string>());
}

int WritesBeforeFailure;
BOOL WINAPI FailingWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  if (WritesBeforeFailure-- == 0) {
    SetLastError(ERROR_DISK_FULL);
    *written = 0;
    return FALSE;
  }
  return PlatformReal().WriteFile(file, data, size, written, overlapped);
}

// A file that cannot be written in full fails the extraction with the write
// error, though the library itself goes on and reports success.
TEST_F(ExtractSetTest, WriteFailureIsReported) {
  std::vector<CabEntry> entries(2);
  entries[0].name = "a.bin";
  entries[0].data = Pattern(100000, 7);
  entries[1].name = "b.bin";
  entries[1].data = Pattern(1000, 8);
  WriteFileBytes(medium_ / "one.cab", BuildCabinet(entries, CabLayout()));
  ScopedPlatform platform;
  Platform.WriteFile = FailingWrite;
  WritesBeforeFailure = 1;
  BoxScript boxes;
  EXPECT_EQ(Extract(medium_ / "one.cab"), -1);
  EXPECT_EQ(boxes.texts(), std::vector<std::string>({"B\xb3\xb9" "d zapisu do zbioru"}));
  ExpectNothingWritten({"one.cab"});
}

}  // namespace
