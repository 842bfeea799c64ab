// The hostile cabinet corpus, generated here: a realistic cabinet truncated
// at every header byte, at every data-block boundary and at a stride through
// the data; every header byte corrupted three ways; wrong signatures and
// versions; impossible counts, offsets and sizes; a wrong volume in a set;
// and every kind of name that must not be written. For each case: the
// result and the one box expected, nothing written outside the target, no
// staging directory left, no handle, search or block left over.

#include <stdio.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cabinet/binding.h"
#include "cabinet/extract.h"
#include "tests/support/boxes.h"
#include "tests/support/cab_writer.h"
#include "tests/support/platform_guard.h"
#include "tests/support/temp_dir.h"
#include "ui/messages.h"

namespace {

std::set<HANDLE> OpenFiles, OpenSearches;
std::set<HLOCAL> Blocks;

HANDLE WINAPI CountedCreateFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE templateFile) {
  HANDLE file = PlatformReal().CreateFileA(path, access, share, security, disposition, flags, templateFile);
  if (file != INVALID_HANDLE_VALUE)
    OpenFiles.insert(file);
  return file;
}
BOOL WINAPI CountedClose(HANDLE handle) {
  OpenFiles.erase(handle);
  return PlatformReal().CloseHandle(handle);
}
HANDLE WINAPI CountedFindFirst(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  HANDLE search = PlatformReal().FindFirstFileA(pattern, data);
  if (search != INVALID_HANDLE_VALUE)
    OpenSearches.insert(search);
  return search;
}
BOOL WINAPI CountedFindClose(HANDLE search) {
  OpenSearches.erase(search);
  return PlatformReal().FindClose(search);
}
HLOCAL WINAPI CountedAlloc(UINT flags, SIZE_T size) {
  HLOCAL block = PlatformReal().LocalAlloc(flags, size);
  if (block != NULL)
    Blocks.insert(block);
  return block;
}
HLOCAL WINAPI CountedFree(HLOCAL block) {
  Blocks.erase(block);
  return PlatformReal().LocalFree(block);
}

std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    bytes[i] = static_cast<char>((seed >> 16) % 40 + 'A');  // Text-like: compresses a little.
  }
  return bytes;
}

// The realistic cabinet: files in three levels of folders, small blocks.
std::vector<CabEntry> RealisticEntries() {
  std::vector<CabEntry> entries(6);
  const char* names[] = {"setup.ini", "bin\\app.exe", "bin\\lib\\core.dll", "doc\\readme.txt",
                         "doc\\img\\logo.bmp", "empty.txt"};
  const size_t sizes[] = {300, 40000, 25000, 5000, 12000, 0};
  for (size_t i = 0; i < entries.size(); ++i) {
    entries[i].name = names[i];
    entries[i].data = Pattern(sizes[i], static_cast<unsigned>(i + 1));
  }
  entries[3].attribs = 0x21;
  return entries;
}

// Where the parts of a cabinet of our writer lie.
struct Layout {
  size_t headerEnd;   // First byte after the header (with its reserve).
  size_t folderAt;    // The folder entry.
  size_t filesAt;     // The first file entry.
  size_t dataAt;      // The first data block.
  std::vector<size_t> blocks;  // Each data block's start.
};

uint32_t Read32(const std::string& bytes, size_t at) {
  return static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8 |
         static_cast<uint8_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}
uint16_t Read16(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8);
}

Layout Measure(const std::string& cab, const CabLayout& layout) {
  Layout where;
  where.filesAt = Read32(cab, 16);
  where.folderAt = where.filesAt - 8 - layout.folderReserve;
  where.headerEnd = where.folderAt;
  where.dataAt = Read32(cab, where.folderAt);
  size_t at = where.dataAt;
  for (int i = Read16(cab, where.folderAt + 4); i > 0; --i) {
    where.blocks.push_back(at);
    at += 8 + layout.dataReserve + Read16(cab, at + 4);
  }
  return where;
}

struct Case {
  std::string what;
  std::string bytes;
  // The box expected when the extraction fails; NULL: any of the cabinet
  // texts but "OK". `mayPass`: the damage may lie where the library does not
  // look (a reserved field, a time), so success is a right answer too.
  const char* box;
  bool mayPass;
};

class CorpusTest : public testing::Test {
 protected:
  void SetUp() override {
    InstallerWindow = NULL;
    ASSERT_EQ(BindCabinetLibrary(), 1);
  }
  void TearDown() override { UnbindCabinetLibrary(); }

  // Runs one case in a fresh sandbox; returns what went wrong, if anything.
  std::string Run(const Case& c) {
    TempDir sandbox;
    const std::string target = sandbox / "target";
    MakeDir(target);
    WriteFileBytes(sandbox / "one.cab", c.bytes);
    OpenFiles.clear();
    OpenSearches.clear();
    Blocks.clear();
    int result;
    std::vector<std::string> boxes;
    {
      BoxScript script;
      ScopedPlatform platform;
      Platform.CreateFileA = CountedCreateFile;
      Platform.CloseHandle = CountedClose;
      Platform.FindFirstFileA = CountedFindFirst;
      Platform.FindClose = CountedFindClose;
      Platform.LocalAlloc = CountedAlloc;
      Platform.LocalFree = CountedFree;
      result = ExtractCabinetSet((sandbox / "one.cab").c_str(), target.c_str(), NULL);
      boxes = script.texts();
    }
    std::string problems;
    if (!OpenFiles.empty() || !OpenSearches.empty() || !Blocks.empty())
      problems += " leaked " + std::to_string(OpenFiles.size()) + " files, " +
                  std::to_string(OpenSearches.size()) + " searches, " + std::to_string(Blocks.size()) +
                  " blocks;";
    const std::vector<std::string> outside = ListTree(sandbox.path());
    for (const std::string& entry : outside) {
      if (entry != "one.cab" && entry != "target" && entry.compare(0, 7, "target\\") != 0)
        problems += " written outside the target: " + entry + ";";
    }
    const std::vector<std::string> inside = ListTree(target);
    for (const std::string& entry : inside) {
      if (entry.compare(0, 3, "cab") == 0 && entry.find('\\') == std::string::npos)
        problems += " staging directory left: " + entry + ";";
    }
    if (result == 0) {
      if (!c.mayPass)
        problems += " unpacked though damaged;";
      // What a damaged cabinet may still give is data as it was packed: a
      // damaged file table can name other parts of it (a file table has no
      // checksum), but no file may hold bytes that were never packed.
      std::string packed;
      for (const CabEntry& original : RealisticEntries())
        packed += original.data;
      for (const std::string& entry : inside) {
        const std::string path = target + "\\" + entry;
        if (GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
          continue;
        const std::string content = ReadFileBytes(path);
        if (packed.find(content) == std::string::npos)
          problems += " unpacked with altered data: " + entry + ";";
      }
      if (!boxes.empty())
        problems += " a box on success: " + boxes[0] + ";";
    } else {
      if (result != -1)
        problems += " result " + std::to_string(result) + ";";
      if (!inside.empty())
        problems += " the target was changed;";
      if (boxes.size() != 1)
        problems += " " + std::to_string(boxes.size()) + " boxes;";
      else if (c.box != NULL && boxes[0] != c.box)
        problems += " box \"" + boxes[0] + "\" instead of \"" + c.box + "\";";
      else if (c.box == NULL && !IsCabinetText(boxes[0]))
        problems += " box \"" + boxes[0] + "\";";
    }
    return problems;
  }

  static bool IsCabinetText(const std::string& text) {
    for (int code = -2; code <= 12; ++code) {
      if (code != 0 && text == CabinetErrorText(code))
        return true;
    }
    return false;
  }

  // Runs every case; prints the count and fails on each case that went wrong.
  void RunAll(const char* corpus, const std::vector<Case>& cases) {
    int failures = 0;
    for (const Case& c : cases) {
      const std::string problems = Run(c);
      if (!problems.empty()) {
        ++failures;
        ADD_FAILURE() << c.what << ":" << problems;
      }
    }
    printf("hostile corpus, %s: %zu cases, %d failures\n", corpus, cases.size(), failures);
  }
};

const char kDamaged[] = "Uszkodzone archiwum .CAB";
const char kNotCabinet[] = "To nie jest archiwum .CAB";

// Cut short anywhere: within the header and the tables at every byte, at and
// around every data block's start, and at a stride through the data.
std::vector<Case> TruncationCases() {
  std::vector<Case> cases;
  CabLayout layouts[3];
  layouts[1].compression = kCabMszip;
  layouts[1].headerReserve = 20;
  layouts[1].folderReserve = 4;
  layouts[1].dataReserve = 4;
  layouts[2].compression = kCabLzx21;  // As the shipped payload: 2 MiB window, 20-byte reserve.
  layouts[2].headerReserve = 20;
  for (CabLayout& layout : layouts) {
    // LZX works in frames of 32 KiB; the others in small blocks.
    layout.blockSize = layout.compression == kCabLzx21 ? 0x8000 : 4096;
    layout.checksums = true;
    const std::string cab = BuildCabinet(RealisticEntries(), layout);
    const Layout where = Measure(cab, layout);
    std::set<size_t> cuts;
    for (size_t at = 0; at <= where.dataAt + 8; ++at)
      cuts.insert(at);
    for (size_t block : where.blocks) {
      cuts.insert(block - 1);
      cuts.insert(block + 1);
      cuts.insert(block + 8);
    }
    for (size_t at = where.dataAt; at < cab.size(); at += 997)
      cuts.insert(at);
    cuts.insert(cab.size() - 1);
    for (size_t at : cuts) {
      if (at >= cab.size())
        continue;
      // A cut in the header is "not a cabinet"; later, the library's reason.
      cases.push_back({"cut at " + std::to_string(at) + " of " + std::to_string(cab.size()) +
                           (layout.compression == kCabLzx21 ? " (LZX)"
                            : layout.compression ? " (MSZIP, reserves)" : " (stored)"),
                       cab.substr(0, at), at < 36 ? kNotCabinet : NULL, false});
    }
  }
  return cases;
}
TEST_F(CorpusTest, Truncations) {
  RunAll("truncations", TruncationCases());
}

// Every byte of the header, the folder and the file table set to 0, to 0xFF
// and with its lowest bit flipped.
std::vector<Case> HeaderCorruptionCases() {
  std::vector<Case> cases;
  CabLayout layout;
  layout.compression = kCabMszip;
  layout.blockSize = 4096;
  layout.checksums = true;
  const std::string cab = BuildCabinet(RealisticEntries(), layout);
  const Layout where = Measure(cab, layout);
  for (size_t at = 0; at < where.dataAt + 8; ++at) {
    const char original = cab[at];
    for (int variant = 0; variant < 3; ++variant) {
      std::string bytes = cab;
      bytes[at] = variant == 0 ? '\0' : variant == 1 ? '\xff' : static_cast<char>(original ^ 1);
      if (bytes[at] == original)
        continue;
      cases.push_back({"byte " + std::to_string(at) + " set to " + std::to_string(static_cast<uint8_t>(bytes[at])),
                       bytes, at < 4 ? kNotCabinet : NULL, at >= 4});
    }
  }
  return cases;
}
TEST_F(CorpusTest, HeaderCorruptions) {
  RunAll("header corruptions", HeaderCorruptionCases());
}

void Put32(std::string* bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    (*bytes)[at + i] = static_cast<char>(value >> (8 * i));
}
void Put16(std::string* bytes, size_t at, uint16_t value) {
  (*bytes)[at] = static_cast<char>(value);
  (*bytes)[at + 1] = static_cast<char>(value >> 8);
}

// Signatures, versions, counts, offsets and sizes no writer makes.
std::vector<Case> ImpossibleFieldCases() {
  CabLayout layout;
  layout.compression = kCabMszip;
  layout.blockSize = 4096;
  layout.checksums = true;
  const std::string cab = BuildCabinet(RealisticEntries(), layout);
  const Layout where = Measure(cab, layout);
  struct Edit {
    const char* what;
    size_t at;
    int width;
    uint32_t value;
    const char* box;
    // Fields the library does not rely on: a right answer may be success
    // (with the files as packed, or none).
    bool mayPass = false;
  };
  const Edit edits[] = {
      {"signature MSCG", 0, 4, 0x4743534d, kNotCabinet},
      {"signature lower case", 0, 4, 0x6663736d, kNotCabinet},
      {"version 1.2", 24, 2, 0x0102, NULL, true},
      {"version 2.3", 24, 2, 0x0203, NULL},
      {"version 0.0", 24, 2, 0x0000, NULL, true},
      {"cabinet size 0", 8, 4, 0, NULL, true},
      {"cabinet size 4 GiB", 8, 4, 0xffffffff, NULL, true},
      {"no folders", 26, 2, 0, NULL},
      {"65535 folders", 26, 2, 0xffff, NULL},
      {"no files", 28, 2, 0, NULL, true},
      {"65535 files", 28, 2, 0xffff, NULL},
      {"files at 0", 16, 4, 0, NULL, true},
      {"files beyond the end", 16, 4, static_cast<uint32_t>(cab.size() + 100), NULL, true},
      {"files at 4 GiB", 16, 4, 0xffffffff, NULL, true},
      {"reserve flag without reserves", 30, 2, 0x0004, NULL},
      {"next-cabinet flag without a name", 30, 2, 0x0002, NULL},
      {"data beyond the end", where.folderAt, 4, static_cast<uint32_t>(cab.size() + 1000), NULL},
      {"data at 0", where.folderAt, 4, 0, NULL},
      {"no data blocks", where.folderAt + 4, 2, 0, NULL, true},
      {"65535 data blocks", where.folderAt + 4, 2, 0xffff, NULL, true},
      {"compression Quantum with bad parameters", where.folderAt + 6, 2, 0x0002, NULL},
      {"compression LZX window 0", where.folderAt + 6, 2, 0x0003, NULL},
      {"compression LZX window 31", where.folderAt + 6, 2, 0x1f03, NULL},
      {"compression type 15", where.folderAt + 6, 2, 0x000f, NULL},
      {"file of 4 GiB", where.filesAt, 4, 0xffffffff, NULL},
      {"file beyond its folder", where.filesAt + 4, 4, 0x7fffffff, NULL},
      {"file in folder 7", where.filesAt + 8, 2, 7, NULL, true},
      {"file continued from a previous cabinet", where.filesAt + 8, 2, 0xfffd, NULL, true},
      {"file continued into a next cabinet", where.filesAt + 8, 2, 0xfffe, NULL, true},
      {"block of 65535 bytes", where.blocks[0] + 4, 2, 0xffff, NULL},
      {"block of 0 bytes", where.blocks[0] + 4, 2, 0, NULL},
      {"block unpacking to 65535 bytes", where.blocks[0] + 6, 2, 0xffff, NULL},
      {"block unpacking to 0 bytes", where.blocks[0] + 6, 2, 0, NULL},
      {"block with a wrong checksum", where.blocks[0], 4, 0x12345678, NULL},
      {"block without its MSZIP signature", where.blocks[0] + 8, 2, 0x5858, NULL},
      {"last block cut to 1 byte", where.blocks.back() + 4, 2, 1, NULL},
  };
  std::vector<Case> cases;
  for (const Edit& edit : edits) {
    std::string bytes = cab;
    if (edit.width == 4)
      Put32(&bytes, edit.at, edit.value);
    else
      Put16(&bytes, edit.at, static_cast<uint16_t>(edit.value));
    cases.push_back({edit.what, bytes, edit.box, edit.mayPass});
  }
  // Inflating past what a block says it holds.
  std::string overlong = cab;
  Put16(&overlong, where.blocks[0] + 6, 100);
  cases.push_back({"block says it unpacks to 100 bytes", overlong, NULL, false});
  return cases;
}
TEST_F(CorpusTest, ImpossibleFields) {
  RunAll("impossible fields", ImpossibleFieldCases());
}

// Names that would leave the staging directory, or that cannot be named in
// the code page: never written, always "damaged archive".
std::vector<Case> HostileNameCases() {
  std::vector<std::string> names = {
      "", "\\", "/", "..", "...", ".", "..\\", "../", "..\\a.txt", "../a.txt", "..\\..\\a.txt",
      "a\\..\\..\\b.txt", "a/../../b.txt", "a\\..\\b.txt", "a\\..", "a/..", "a\\b\\..\\..\\..\\c",
      "\\a.txt", "/a.txt", "\\\\server\\share\\a.txt", "//server/share/a.txt", "\\\\?\\C:\\a.txt",
      "\\\\.\\C:\\a.txt", "C:\\a.txt", "C:/a.txt", "C:a.txt", "c:..\\a.txt", "Z:\\tmp\\a.txt",
      "a.txt:stream", "a.txt::$DATA", "sub\\a:b", "CON:", "a\\..\\..\\..\\..\\..\\..\\windows\\a.dll",
      "CON", "prn", "Aux.txt", "NUL", "sub\\nul", "COM1", "com9.log", "LPT1", "lpt5.x.y", "CONIN$",
      "CONOUT$", "AUX .txt", "NUL.", "CON  ", "a.", "a ", "sub.\\a.txt", "sub \\a.txt", "a\\b...",
  };
  // Every character the platform forbids in a name, in a file's name and in
  // the top folder of a path thirty levels deep.
  std::string thirtyLevels;
  for (int level = 1; level < 30; ++level)
    thirtyLevels += "\\a";
  for (const char forbidden : std::string("<>:\"|?*\x01\t\x1f")) {
    names.push_back(std::string("a") + forbidden + "b.txt");
    names.push_back(std::string("x") + forbidden + thirtyLevels + "\\f.txt");
  }
  std::vector<Case> cases;
  for (const std::string& name : names) {
    for (const char* first : {"", "first.txt"}) {
      std::vector<CabEntry> entries;
      if (*first) {
        entries.push_back(CabEntry());
        entries.back().name = first;
        entries.back().data = "harmless";
      }
      entries.push_back(CabEntry());
      entries.back().name = name;
      entries.back().data = "evil";
      cases.push_back({"name \"" + name + "\"" + (*first ? " after a good file" : ""),
                       BuildCabinet(entries, CabLayout()), kDamaged, false});
      // The same name flagged as UTF-8.
      entries.back().attribs = 0x20 | 0x80;
      cases.push_back({"UTF-8 name \"" + name + "\"" + (*first ? " after a good file" : ""),
                       BuildCabinet(entries, CabLayout()), kDamaged, false});
    }
  }
  // Flagged UTF-8 that is not UTF-8, or that the code page cannot show.
  const char* badUtf8[] = {"\xff.txt", "\xc0\xaf.txt", "\xe2\x82.txt", "\xed\xa0\x80.txt",
                           "\xf8\x88\x80\x80\x80.txt", "a\xc5", "\xe6\x97\xa5.txt", "\xf0\x9f\x98\x80.txt"};
  for (const char* name : badUtf8) {
    std::vector<CabEntry> entries(1);
    entries[0].name = name;
    entries[0].attribs = 0x20 | 0x80;
    cases.push_back({"bad UTF-8 name", BuildCabinet(entries, CabLayout()), kDamaged, false});
  }
  // Names too long for a path: refused, never cut.
  for (size_t length : {250u, 300u, 1000u}) {
    std::vector<CabEntry> entries(1);
    entries[0].name = std::string(length, 'n');
    cases.push_back({"name of " + std::to_string(length) + " characters", BuildCabinet(entries, CabLayout()),
                     NULL, false});
    entries[0].name = std::string(length / 2, 'd') + "\\" + std::string(length / 2, 'f');
    cases.push_back({"path of " + std::to_string(length) + " characters", BuildCabinet(entries, CabLayout()),
                     NULL, false});
  }
  return cases;
}
TEST_F(CorpusTest, HostileNames) {
  RunAll("hostile names", HostileNameCases());
}

// A volume of another set: told as wrong each time it is retried; Cancel
// asks whether to stop, and "Nie" shows the prompt again. Once the volume is
// gone the disk is asked for, and declining stops the extraction.
TEST_F(CorpusTest, WrongVolumeInASet) {
  TempDir medium;
  MakeDir(medium / "src");
  WriteFileBytes(medium / "src\\big.bin", Pattern(150000, 9));
  ASSERT_EQ(RunCabarc(medium / "src", "-m none -d 100000 -i 1 N ..\\a*.cab big.bin"), 0);
  ASSERT_EQ(RunCabarc(medium / "src", "-m none -d 100000 -i 2 N ..\\b*.cab big.bin"), 0);
  WriteFileBytes(medium / "a2.cab", ReadFileBytes(medium / "b2.cab"));
  TempDir target;
  BoxScript boxes;
  int shown = 0;
  boxes.Answer({IDRETRY, IDCANCEL, IDNO, IDRETRY, IDCANCEL, IDYES});
  boxes.WhileOpen([&](const BoxRecord&) {
    if (++shown == 4)
      DeleteFileA((medium / "a2.cab").c_str());
  });
  EXPECT_EQ(ExtractCabinetSet((medium / "a1.cab").c_str(), target.path().c_str(), NULL), -1);
  const std::string wrong = medium / "a2.cab" + " nie jest kolejnym woluminem\ntej sekwencji plików. Proszę włożyć właściwą dyskietkę!";
  const std::string abort = "Na pewno przerwać operację?";
  EXPECT_EQ(boxes.texts(), std::vector<std::string>({wrong, wrong, abort, wrong, "Proszę włożyć dysk z plikiem " + medium / "a2.cab" + ".",
                                                     abort, "Przerwanie użytkownika"}));
  EXPECT_EQ(ListTree(target.path()), std::vector<std::string>());
}

// The corpus counts its cases from what it is made of, not from the tests
// that happened to run before.
TEST(Corpus, HoldsAThousandCases) {
  const size_t total = TruncationCases().size() + HeaderCorruptionCases().size() +
                       ImpossibleFieldCases().size() + HostileNameCases().size() + 1;  // The wrong volume.
  printf("hostile corpus: %zu cases in all\n", total);
  EXPECT_GE(total, 1000u);
}

}  // namespace
