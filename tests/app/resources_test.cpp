// The resources of the built installers (every one named on the command
// line), read back from the executables.

#include <string.h>
#include <windows.h>
#include <imagehlp.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_args.h"

namespace {

struct Module {
  explicit Module(const std::string& path)
      : handle(LoadLibraryExA(WindowsPath(path).c_str(), NULL,
                              LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
  ~Module() { if (handle) FreeLibrary(handle); }
  const BYTE* Resource(LPCSTR name, LPCSTR type, DWORD* size) const {
    HRSRC found = FindResourceA(handle, name, type);
    if (!found)
      return NULL;
    *size = SizeofResource(handle, found);
    return static_cast<const BYTE*>(LockResource(LoadResource(handle, found)));
  }
  HMODULE handle;
};

// Reads a DLGTEMPLATEEX field by field.
struct Reader {
  const BYTE* p;
  WORD Word() { WORD v; memcpy(&v, p, 2); p += 2; return v; }
  DWORD Dword() { DWORD v; memcpy(&v, p, 4); p += 4; return v; }
  // A string or ordinal field, as text: "#N" for an ordinal, else CP-1250.
  std::string SzOrOrd() {
    WORD first; memcpy(&first, p, 2);
    if (first == 0xFFFF) { p += 2; return "#" + std::to_string(Word()); }
    const wchar_t* text = reinterpret_cast<const wchar_t*>(p);
    const size_t length = wcslen(text);
    p += (length + 1) * 2;
    char out[1024] = "";
    WideCharToMultiByte(1250, 0, text, static_cast<int>(length), out, sizeof(out) - 1, NULL, NULL);
    return out;
  }
  void AlignDword(const BYTE* base) { while ((p - base) % 4) ++p; }
};

// The arguments: the installers to check, and "--payload=FILE" for the
// cabinet they must carry.
std::vector<std::string> Installers() {
  std::vector<std::string> installers;
  for (const std::string& argument : TestArguments) {
    if (argument.compare(0, 10, "--payload=") != 0)
      installers.push_back(argument);
  }
  EXPECT_FALSE(installers.empty()) << "give the installers to check";
  return installers;
}

std::string ExpectedPayload() {
  for (const std::string& argument : TestArguments) {
    if (argument.compare(0, 10, "--payload=") == 0)
      return WindowsPath(argument.substr(10));
  }
  return std::string();
}

// The checksum in each installer's header is the file's own: the build
// lays the image out anew after the linker summed it.
TEST(ResourcesTest, HeaderChecksum) {
  for (const std::string& path : Installers()) {
    DWORD stored = 0;
    DWORD computed = 0;
    ASSERT_EQ(MapFileAndCheckSumA(WindowsPath(path).c_str(), &stored, &computed), CHECKSUM_SUCCESS) << path;
    EXPECT_EQ(stored, computed) << path;
  }
}

// The payload resource holds the given cabinet byte for byte.
TEST(ResourcesTest, Payload) {
  const std::string cabinet = ExpectedPayload();
  if (cabinet.empty())
    GTEST_SKIP() << "no --payload given";
  HANDLE file = CreateFileA(cabinet.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << cabinet;
  std::string expected(GetFileSize(file, NULL), '\0');
  DWORD read = 0;
  ReadFile(file, &expected[0], static_cast<DWORD>(expected.size()), &read, NULL);
  CloseHandle(file);
  for (const std::string& path : Installers()) {
    SCOPED_TRACE(path);
    Module module(path);
    DWORD size = 0;
    const BYTE* payload = module.Resource(MAKEINTRESOURCEA(45514), RT_RCDATA, &size);
    ASSERT_NE(payload, nullptr);
    ASSERT_EQ(size, expected.size());
    EXPECT_EQ(memcmp(payload, expected.data(), size), 0);
  }
}

// The dialog template is the extended template the installer is laid out by.
TEST(ResourcesTest, DialogTemplate) {
  for (const std::string& path : Installers()) {
    SCOPED_TRACE(path);
    Module module(path);
    ASSERT_NE(module.handle, nullptr);
    DWORD size = 0;
    const BYTE* base = module.Resource(MAKEINTRESOURCEA(101), RT_DIALOG, &size);
    ASSERT_NE(base, nullptr);
    Reader r = {base};
    EXPECT_EQ(r.Word(), 1);       // dlgVer
    EXPECT_EQ(r.Word(), 0xFFFF);  // signature: extended template
    EXPECT_EQ(r.Dword(), 0u);     // helpID
    EXPECT_EQ(r.Dword(), 0u);     // exStyle
    EXPECT_EQ(r.Dword(), 0x80C808C8u);
    EXPECT_EQ(r.Word(), 5);  // controls
    EXPECT_EQ(r.Word(), 0);
    EXPECT_EQ(r.Word(), 0);
    EXPECT_EQ(r.Word(), 250);
    EXPECT_EQ(r.Word(), 62);
    EXPECT_EQ(r.SzOrOrd(), "");  // menu
    EXPECT_EQ(r.SzOrOrd(), "");  // class
    EXPECT_EQ(r.SzOrOrd(), "Korvani Dalmera - Instalator");
    EXPECT_EQ(r.Word(), 10);   // points
    EXPECT_EQ(r.Word(), 400);  // weight
    EXPECT_EQ(*r.p++, 0);      // italic
    EXPECT_EQ(*r.p++, 1);      // charset
    EXPECT_EQ(r.SzOrOrd(), "MS Shell Dlg 2");
    const struct {
      DWORD id; std::string cls; std::string text; DWORD style; WORD x, y, cx, cy;
    } controls[] = {
        {1, "#128", "Instaluj", 0x50010001, 133, 38, 50, 14},
        {2, "#128", "Anuluj", 0x50010000, 190, 38, 50, 14},
        {104, "#130",
         "Zapraszamy do instalacji oprogramowania Dalmera.\nNiniejszy program skopiuje "
         "tymczasowe pliki instalacyjne\nna twardy dysk i zainicjuje Instalatora.",
         0x50020000, 46, 7, 198, 30},
        {103, "#130", "#102", 0x50000003, 8, 7, 0, 0},
        {1001, "msctls_progress32", "", 0x40800000, 12, 39, 228, 13},
    };
    for (const auto& c : controls) {
      SCOPED_TRACE(c.id);
      r.AlignDword(base);
      EXPECT_EQ(r.Dword(), 0u);  // helpID
      EXPECT_EQ(r.Dword(), 0u);  // exStyle
      EXPECT_EQ(r.Dword(), c.style);
      EXPECT_EQ(r.Word(), c.x);
      EXPECT_EQ(r.Word(), c.y);
      EXPECT_EQ(r.Word(), c.cx);
      EXPECT_EQ(r.Word(), c.cy);
      EXPECT_EQ(r.Dword(), c.id);
      // The resource compiler stores a class name in capitals; the platform
      // matches class names without regard to case.
      EXPECT_EQ(0, lstrcmpiA(r.SzOrOrd().c_str(), c.cls.c_str()));
      EXPECT_EQ(r.SzOrOrd(), c.text);
      r.p += r.Word();  // creation data
    }
    EXPECT_LE(static_cast<DWORD>(r.p - base), size);
  }
}

// The icon group holds 16, 24, 32 and 48 pixels at 4, 8 and 32 bits, and
// 72 pixels at 32 bits.
TEST(ResourcesTest, IconGroup) {
  for (const std::string& path : Installers()) {
    SCOPED_TRACE(path);
    Module module(path);
    DWORD size = 0;
    const BYTE* group = module.Resource(MAKEINTRESOURCEA(102), RT_GROUP_ICON, &size);
    ASSERT_NE(group, nullptr);
    WORD count;
    memcpy(&count, group + 4, 2);
    std::vector<std::pair<int, int>> images;
    for (WORD i = 0; i < count; ++i) {
      const BYTE* entry = group + 6 + 14 * i;
      WORD bits;
      memcpy(&bits, entry + 6, 2);
      images.push_back({entry[0], bits});
    }
    std::sort(images.begin(), images.end());
    const std::vector<std::pair<int, int>> expected = {
        {16, 4}, {16, 8}, {16, 32}, {24, 4}, {24, 8}, {24, 32}, {32, 4},
        {32, 8}, {32, 32}, {48, 4}, {48, 8}, {48, 32}, {72, 32}};
    EXPECT_EQ(images, expected);
  }
}

// The manifest asks for common controls 6, DPI awareness, administrator
// rights and names Windows 10/11; the version resource is Polish.
TEST(ResourcesTest, ManifestAndVersion) {
  for (const std::string& path : Installers()) {
    SCOPED_TRACE(path);
    Module module(path);
    DWORD size = 0;
    const BYTE* manifest = module.Resource(MAKEINTRESOURCEA(1), RT_MANIFEST, &size);
    ASSERT_NE(manifest, nullptr);
    const std::string text(reinterpret_cast<const char*>(manifest), size);
    for (const char* needle : {"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0",
                               "level=\"requireAdministrator\"", ">true</dpiAware>",
                               "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
      EXPECT_NE(text.find(needle), std::string::npos) << needle;

    const std::string file = WindowsPath(path);
    DWORD ignored = 0;
    std::vector<char> info(GetFileVersionInfoSizeA(file.c_str(), &ignored));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(GetFileVersionInfoA(file.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    char* value = NULL;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\041504E2\\LegalCopyright",
                               reinterpret_cast<void**>(&value), &length));
    EXPECT_STREQ(value, "Copyright \xa9 2026 Korvani. Wszelkie prawa zastrze\xbfone.");
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\041504E2\\ProductName",
                               reinterpret_cast<void**>(&value), &length));
    EXPECT_STREQ(value, "Korvani Dalmera");
  }
}

}  // namespace
