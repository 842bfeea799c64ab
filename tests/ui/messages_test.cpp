// Message boxes and prompts: caption, type, owner, text and result of each.

#include <gtest/gtest.h>

#include "tests/support/boxes.h"
#include "ui/messages.h"

namespace {

class MessagesTest : public testing::Test {
 protected:
  void SetUp() override { InstallerWindow = NULL; }
  void TearDown() override { InstallerWindow = NULL; }
};

const HWND kDialog = reinterpret_cast<HWND>(0x1234);

// An error box carries the stop icon, the installer's caption and the dialog
// as its owner; before the dialog exists it has no owner.
TEST_F(MessagesTest, ErrorBoxHasStopIconCaptionAndOwner) {
  BoxScript boxes;
  ShowError("a");
  InstallerWindow = kDialog;
  ShowError("b");
  ASSERT_EQ(boxes.boxes().size(), 2u);
  EXPECT_EQ(boxes.boxes()[0].owner, nullptr);
  EXPECT_EQ(boxes.boxes()[1].owner, kDialog);
  for (const BoxRecord& box : boxes.boxes()) {
    EXPECT_EQ(box.caption, "Korvani Dalmera - instalator");
    EXPECT_EQ(box.type, 0x10u);
  }
}

BOOL WINAPI NoShow(HWND, int) { return TRUE; }

// Once the dialog is hidden for the second stage, a box has no owner (a
// taskbar button of its own) and comes to the foreground above other
// windows, its own type kept.
TEST_F(MessagesTest, BoxAfterHandOverStandsAlone) {
  ScopedPlatform platform;
  Platform.ShowWindow = NoShow;
  InstallerWindow = kDialog;
  BoxScript boxes;
  HideInstallerWindow();
  ShowError("c");
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].owner, nullptr);
  EXPECT_EQ(boxes.boxes()[0].type, static_cast<UINT>(MB_ICONHAND | MB_SETFOREGROUND | MB_TOPMOST));
}

// The system error box names the operation, the path, the code and the
// system's own text for that code, taken before any other call.
TEST_F(MessagesTest, SystemErrorShowsCodeAndSystemText) {
  char expectedText[2000] = "";
  ASSERT_NE(FormatMessageA(0x1200, NULL, 5, 0x400, expectedText, 1999, NULL), 0u);
  // Without the line break the system ends its text with.
  std::string trimmed = expectedText;
  ASSERT_EQ(trimmed.substr(trimmed.size() - 2), "\r\n");
  expectedText[trimmed.size() - 2] = '\0';
  const char* verbs[] = {"usunąć zbioru", "usunąć katalogu", "przenieść zbioru"};
  for (int kind = 0; kind < 3; ++kind) {
    BoxScript boxes;
    SetLastError(5);
    ShowSystemError(kind, "C:\\x\\plik.txt");
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, std::string("Nie mogę ") + verbs[kind] +
                                         " C:\\x\\plik.txt (5 " + expectedText +
                                         "). Należy usunąć go samodzielnie!");
    EXPECT_EQ(boxes.boxes()[0].type, 0x10u);
  }
}

// A program that cannot be started is named with the reason, in the same
// style, and the run is said to stop.
TEST_F(MessagesTest, StartErrorNamesProgram) {
  WCHAR systemText[2000] = L"";
  ASSERT_NE(SystemErrorText(2, systemText, 1999), nullptr);
  ASSERT_NE(systemText[0], L'\0');
  BoxScript boxes;
  SetLastError(2);
  ShowStartError("C:\\tmp\\dm_1.tmp\\MERVOLT.EXE");
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].wide, std::wstring(L"Nie mogę uruchomić programu C:\\tmp\\dm_1.tmp\\MERVOLT.EXE (2 ") +
                                       systemText + L"). Instalacja zostanie przerwana.");
  EXPECT_EQ(boxes.boxes()[0].type, 0x10u);
}

// A code the system has no text for leaves only the number and a blank.
TEST_F(MessagesTest, SystemErrorWithoutSystemText) {
  BoxScript boxes;
  SetLastError(0x20000123);
  ShowSystemError(1, "D");
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text, "Nie mogę usunąć katalogu D (536871203 ). Należy usunąć go samodzielnie!");
}

// A path far longer than the message buffer is cut, never written past it,
// and the cut is seen: the text ends in "…". So is a prompt's.
TEST_F(MessagesTest, HugePathIsCutVisibly) {
  BoxScript boxes;
  const std::string path(5000, 'p');
  SetLastError(5);
  ShowSystemError(0, path.c_str());
  PromptInsertDisk(path.c_str());
  ASSERT_EQ(boxes.boxes().size(), 2u);
  for (const BoxRecord& box : boxes.boxes()) {
    EXPECT_EQ(box.wide.size(), 1023u);
    EXPECT_EQ(box.wide.back(), L'…');
  }
  EXPECT_EQ(boxes.boxes()[0].text.compare(0, 24, "Nie mogę usunąć zbioru p"), 0);
}

// Both volume prompts ask until the user goes on (OK to the insert-disk
// prompt, "Ponów" to the wrong-volume prompt) or confirms giving up; any
// other answer asks whether to abort, and only "Tak" there gives up ("Nie",
// the default button, and "Anuluj" show the prompt again). When no box can
// be shown at all they give up instead of asking forever.
TEST_F(MessagesTest, PromptsAskUntilDecided) {
  const std::string insert = "Proszę włożyć dysk z plikiem d2.cab.";
  const std::string wrong = "d2.cab nie jest kolejnym woluminem\ntej sekwencji plików. Proszę włożyć właściwą dyskietkę!";
  const std::string confirm = "Na pewno przerwać operację?";
  const struct {
    bool (*prompt)(const char*);
    const std::string& text;
    UINT type;
    int goOn;
  } prompts[] = {{PromptInsertDisk, insert, 0x41, IDOK}, {PromptWrongVolume, wrong, 0x15, IDRETRY}};
  for (const auto& p : prompts) {
    const int stop = p.goOn == IDOK ? IDCANCEL : IDOK;  // Any other answer.
    const struct {
      std::vector<int> answers;
      bool result;
      std::vector<std::string> texts;
    } cases[] = {
        {{p.goOn}, true, {p.text}},
        {{IDCANCEL, IDYES}, false, {p.text, confirm}},
        {{IDCANCEL, IDNO, p.goOn}, true, {p.text, confirm, p.text}},
        {{stop, IDCANCEL, IDCANCEL, IDYES}, false, {p.text, confirm, p.text, confirm}},
        {{0, IDNO, p.goOn}, true, {p.text, confirm, p.text}},
        {{0, 0}, false, {p.text, confirm}},
    };
    for (const auto& c : cases) {
      BoxScript boxes;
      for (int answer : c.answers)
        boxes.Answer({answer});
      EXPECT_EQ(p.prompt("d2.cab"), c.result) << p.text << ": case of " << c.answers.size() << " answers";
      EXPECT_EQ(boxes.texts(), c.texts);
      for (const BoxRecord& box : boxes.boxes())
        EXPECT_EQ(box.type, box.text == confirm ? 0x123u : p.type);
    }
  }
}

}  // namespace
