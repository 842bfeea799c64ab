// The fault-injection sweep: the whole installation runs in-process (the real
// dialog on Wine's null driver, boxes answered through the seam) once to
// record every call site of every platform function; then once per call site
// with that call failing the first time it is made there (and, for reads and
// writes, once more with a short count), and once more with it failing from
// then on, every time it is made there: a fault that lasts (a full disk, a
// name the platform refuses) is what finds loops and retries without a
// bound. Sleeping costs no time (the clock jumps instead), a user asked for a
// disk gives up at the third prompt, and a run that has not ended after a
// fixed time stops the program, naming its site. Every run must end,
// with every handle, search, block and library given back, the work
// directory removed unless a box names what stayed, a failure never reported
// as success, and a success only with every file in place.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "app/resource.h"
#include "tests/support/boxes.h"
#include "tests/support/dialog_driver.h"
#include "tests/support/platform_guard.h"
#include "tests/support/second_stage.h"
#include "tests/support/shipped_record.h"
#include "tests/support/temp_dir.h"
#include "ui/messages.h"

// The table's types carry calling-convention attributes that a template
// argument drops; on x86-64 there is only one convention.
#pragma GCC diagnostic ignored "-Wignored-attributes"

namespace {

// Every entry that can be failed, in table order. wsprintfW (variadic, and it
// cannot fail) and the dialog box call (the driver's) are left out.
#define SWEPT_ENTRIES(X)                                                                      \
  X(CreateFileA) X(ReadFile) X(WriteFile) X(SetFilePointer) X(GetFileSize) X(GetFileType)     \
  X(CloseHandle) X(GetFileAttributesA) X(SetFileAttributesA) X(DeleteFileA)                   \
  X(CreateDirectoryA) X(RemoveDirectoryA) X(MoveFileA) X(FindFirstFileA) X(FindNextFileA)     \
  X(FindClose) X(SetFileTime) X(DosDateTimeToFileTime) X(LocalFileTimeToFileTime)             \
  X(GetTempPathW) X(GetTempFileNameA) X(GetModuleHandleA) X(GetModuleFileNameW)               \
  X(FindResourceA) X(SizeofResource) X(LoadResource) X(LockResource) X(GetShortPathNameW)     \
  X(GetCommandLineW) X(CreateProcessW)                                                        \
  X(WaitForSingleObject) X(GetExitCodeProcess) X(LoadLibraryA) X(GetProcAddress)              \
  X(FreeLibrary) X(GetSystemDirectoryA) X(LocalAlloc) X(LocalFree) X(GetLastError)            \
  X(SetLastError) X(FormatMessageW) X(GetTickCount) X(Sleep) X(MultiByteToWideChar)           \
  X(WideCharToMultiByte) X(GetACP) X(GetCurrentProcess) X(OpenProcessToken)                   \
  X(GetTokenInformation) X(ConvertSidToStringSidA)                                            \
  X(ConvertStringSecurityDescriptorToSecurityDescriptorA) X(SetDefaultDllDirectories)         \
  X(EndDialog) X(GetDlgItem) X(ShowWindow) X(UpdateWindow) X(GetWindowRect) X(SendMessageA)   \
  X(LoadImageA) X(DestroyIcon) X(MessageBoxW) X(PeekMessageA) X(MsgWaitForMultipleObjects)    \
  X(TranslateMessage) X(DispatchMessageA) X(InitCommonControlsEx)

enum EntryIndex {
#define ENTRY_INDEX(name) k##name,
  SWEPT_ENTRIES(ENTRY_INDEX)
#undef ENTRY_INDEX
  kEntryCount
};

const char* const kEntryNames[] = {
#define ENTRY_NAME(name) #name,
    SWEPT_ENTRIES(ENTRY_NAME)
#undef ENTRY_NAME
};

// Calls that cannot fail, or whose failure is not the platform's to give:
// they are recorded but not failed.
bool CanFail(int index) {
  switch (index) {
    case kGetLastError:
    case kSetLastError:
    case kGetTickCount:
    case kSleep:
    case kGetCurrentProcess:
    case kGetCommandLineW:
    case kGetACP:
    case kTranslateMessage:
    case kDispatchMessageA:
    case kEndDialog:  // A dialog that cannot end is the watchdog's, not ours.
      return false;
    default:
      return true;
  }
}

// The steps of a run, told apart by the platform calls that begin them.
enum Phase {
  kBeforeRun,      // Dialog and icon, up to "Instaluj".
  kWorkDirectory,  // From "Instaluj": the temporary folder and the work directory.
  kBinding,        // The cabinet library.
  kPayload,        // Writing dmins.cab.
  kCompanions,     // Copying the files beside the installer.
  kExtraction,     // From the staging directory to the move out of it.
  kLaunch,         // The dialog hidden, the second stage started.
  kCleanup,        // After the second stage: removal, unbinding.
};
const char* const kPhaseNames[] = {"before the run", "work directory", "binding", "payload",
                                   "companions", "extraction", "launch", "clean-up"};

// A call site: the platform function and the chain of callers that reached
// it (the function that calls the platform, its caller and theirs), so that
// the same file primitive used by the payload writer and by the extraction
// counts as two sites.
const int kSiteDepth = 3;
struct Site {
  int index;
  Phase phase;  // Where the call was first made; not part of the key.
  void* callers[kSiteDepth];
  bool operator<(const Site& other) const {
    if (index != other.index)
      return index < other.index;
    for (int i = 0; i < kSiteDepth; ++i) {
      if (callers[i] != other.callers[i])
        return callers[i] < other.callers[i];
    }
    return false;
  }
  bool operator==(const Site& other) const { return !(*this < other) && !(other < *this); }
};

enum FaultMode { kFail, kShortCount, kPersistent };
const char* const kModeNames[] = {"", " (short count)", " (from then on)"};

// How long one run may take, in seconds of the machine this runs on; the
// virtual machine's Wine is about ten times slower (WINDRIVER_PATIENCE).
int RunDeadlineSeconds() {
  const char* patience = getenv("WINDRIVER_PATIENCE");
  const int factor = patience != NULL && atoi(patience) > 0 ? atoi(patience) : 1;
  return 60 * factor;
}



struct Sweep {
  bool recording = false;
  std::vector<Site> sites;
  std::set<Site> seen;
  Site target = {-1, kBeforeRun, {}};
  Phase phase = kBeforeRun;
  FaultMode mode = kFail;
  bool fired = false;
  bool companionsLooked = false;
  // Time slept, added to the clock instead of waited.
  DWORD sleptMs = 0;
  // The run under way, for the watchdog: its description and deadline.
  std::string running;
  ULONGLONG deadline = 0;
  // What the run holds: open file and process handles, searches, blocks,
  // libraries, and every box the run tried to show.
  std::set<HANDLE> handles;
  std::set<HANDLE> searches;
  std::set<HLOCAL> blocks;
  int libraries = 0;
  int boxesTried = 0;
} S;

// Whether this call is the one to fail.
__attribute__((noinline)) bool Strike(int index) {
  Site site = {index, S.phase, {}};
  // Skipped: this function and the hook.
  CaptureStackBackTrace(2, kSiteDepth, site.callers, NULL);
  if (S.recording && S.seen.insert(site).second)
    S.sites.push_back(site);
  if (!(S.target == site) || (S.fired && S.mode != kPersistent))
    return false;
  S.fired = true;
  return true;
}

template <typename R>
R FailureValue(int index) {
  if constexpr (std::is_pointer_v<R>) {
    if (index == kCreateFileA || index == kFindFirstFileA)
      return reinterpret_cast<R>(INVALID_HANDLE_VALUE);
    return nullptr;
  } else {
    if (index == kGetFileAttributesA || index == kSetFilePointer || index == kGetFileSize ||
        index == kWaitForSingleObject || index == kMsgWaitForMultipleObjects)
      return static_cast<R>(-1);
    return R();
  }
}

template <int Index, typename F>
struct Hook;

template <int Index, typename R, typename... A>
struct Hook<Index, R(WINAPI*)(A...)> {
  static inline R(WINAPI* below)(A...) = nullptr;

  static R WINAPI Call(A... args) {
    if constexpr (Index == kMessageBoxW)
      ++S.boxesTried;
    // The clock jumps over every sleep: waiting out a busy file costs no time.
    if constexpr (Index == kSleep) {
      S.sleptMs += std::get<0>(std::tie(args...));
      below(0);
      return;
    }
    if constexpr (Index == kGetTickCount)
      return below() + S.sleptMs;
    NotePhase(args...);
    if (Strike(Index)) {
      // A release that fails has still released: the handle, block or
      // library is gone either way; only the result says otherwise.
      if constexpr (Index == kCloseHandle || Index == kFindClose || Index == kLocalFree ||
                    Index == kFreeLibrary) {
        below(args...);
        Track(R(), args...);
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FailureValue<R>(Index);
      }
      if constexpr ((Index == kReadFile || Index == kWriteFile)) {
        if (S.mode == kShortCount) {
          auto tuple = std::tie(args...);
          DWORD count = std::get<2>(tuple);
          std::get<2>(tuple) = count / 2;
          return below(std::get<0>(tuple), std::get<1>(tuple), std::get<2>(tuple),
                       std::get<3>(tuple), std::get<4>(tuple));
        }
      }
      if constexpr (Index == kLocalAlloc)
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      else
        ::SetLastError(ERROR_ACCESS_DENIED);
      if constexpr (!std::is_void_v<R>)
        return FailureValue<R>(Index);
      else
        return;
    }
    if constexpr (std::is_void_v<R>) {
      below(args...);
    } else {
      R result = below(args...);
      Track(result, args...);
      return result;
    }
  }

  // Moves the run's phase on at the calls that begin a step.
  static void NotePhase(A... args) {
    auto tuple = std::tie(args...);
    if constexpr (Index == kGetTempPathW) {
      if (S.phase == kBeforeRun)
        S.phase = kWorkDirectory;
    } else if constexpr (Index == kGetSystemDirectoryA) {
      if (S.phase == kWorkDirectory)
        S.phase = kBinding;
    } else if constexpr (Index == kLocalAlloc) {
      // The library's context is the first block after the companions,
      // which end with a look for the last of their names.
      if (S.phase == kCompanions && S.companionsLooked)
        S.phase = kExtraction;
    } else if constexpr (Index == kFindResourceA) {
      if (std::get<1>(tuple) == MAKEINTRESOURCEA(IDR_PAYLOAD) && S.phase >= kWorkDirectory)
        S.phase = kPayload;
    } else if constexpr (Index == kGetFileAttributesA || Index == kCreateFileA) {
      const std::string path = std::get<0>(tuple);
      if (S.phase == kPayload && path.size() > 10 && path.compare(path.size() - 10, 10, "\\kavel.chm") == 0)
        S.phase = kCompanions;
      if (S.phase == kCompanions && path.size() > 11 && path.compare(path.size() - 11, 11, "\\wyrmo2.bi_") == 0)
        S.companionsLooked = true;
    } else if constexpr (Index == kGetTempFileNameA) {
      if (strcmp(std::get<1>(tuple), "cab") == 0)
        S.phase = kExtraction;
    } else if constexpr (Index == kShowWindow) {
      if (std::get<1>(tuple) == SW_HIDE && S.phase == kExtraction)
        S.phase = kLaunch;
    } else if constexpr (Index == kMsgWaitForMultipleObjects) {
      if (S.phase == kLaunch)
        S.phase = kCleanup;
    }
    (void)tuple;
  }

  template <typename Result>
  static void Track(Result result, A... args) {
    auto tuple = std::tie(args...);
    if constexpr (Index == kCreateFileA) {
      if (result != INVALID_HANDLE_VALUE)
        S.handles.insert(result);
    } else if constexpr (Index == kCloseHandle) {
      S.handles.erase(std::get<0>(tuple));
    } else if constexpr (Index == kCreateProcessW) {
      if (result) {
        S.handles.insert(std::get<9>(tuple)->hProcess);
        S.handles.insert(std::get<9>(tuple)->hThread);
      }
    } else if constexpr (Index == kFindFirstFileA) {
      if (result != INVALID_HANDLE_VALUE)
        S.searches.insert(result);
    } else if constexpr (Index == kFindClose) {
      S.searches.erase(std::get<0>(tuple));
    } else if constexpr (Index == kLocalAlloc) {
      if (result != NULL)
        S.blocks.insert(result);
    } else if constexpr (Index == kLocalFree) {
      S.blocks.erase(std::get<0>(tuple));
    } else if constexpr (Index == kOpenProcessToken) {
      if (result)
        S.handles.insert(*std::get<2>(tuple));
    } else if constexpr (Index == kConvertSidToStringSidA) {
      if (result)
        S.blocks.insert(*std::get<1>(tuple));
    } else if constexpr (Index == kConvertStringSecurityDescriptorToSecurityDescriptorA) {
      if (result)
        S.blocks.insert(*std::get<2>(tuple));
    } else if constexpr (Index == kLoadLibraryA) {
      if (result != NULL)
        ++S.libraries;
    } else if constexpr (Index == kFreeLibrary) {
      --S.libraries;
    }
    (void)result;
    (void)tuple;
  }
};

void InstallHooks() {
#define INSTALL_HOOK(name)                                             \
  Hook<k##name, decltype(Platform.name)>::below = Platform.name; \
  Platform.name = Hook<k##name, decltype(Platform.name)>::Call;
  SWEPT_ENTRIES(INSTALL_HOOK)
#undef INSTALL_HOOK
}

// The second stage: the work directory as it finds it, file by file with
// contents; a fake process that has already ended.
std::map<std::string, std::string> SeenAtLaunch;
bool Launched;

BOOL WINAPI ElevatedTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID info,
                                     DWORD size, PDWORD length) {
  if (kind != TokenElevation)
    return PlatformReal().GetTokenInformation(token, kind, info, size, length);
  static_cast<TOKEN_ELEVATION*>(info)->TokenIsElevated = 1;
  *length = sizeof(TOKEN_ELEVATION);
  return TRUE;
}

// The record the sweep's installer carries: the companion file it finds
// beside itself (the test program's folder) while the sweep runs.
const char kCompanionContent[] = "help shipped beside the installer";
std::string SweepRecord;
int RecordMark;
HRSRC WINAPI FindWithRecord(HMODULE module, LPCSTR name, LPCSTR type) {
  if (name == MAKEINTRESOURCEA(kShippedResourceId))
    return reinterpret_cast<HRSRC>(&RecordMark);
  return PlatformReal().FindResourceA(module, name, type);
}
DWORD WINAPI SizeWithRecord(HMODULE module, HRSRC found) {
  if (found == reinterpret_cast<HRSRC>(&RecordMark))
    return static_cast<DWORD>(SweepRecord.size());
  return PlatformReal().SizeofResource(module, found);
}
HGLOBAL WINAPI LoadWithRecord(HMODULE module, HRSRC found) {
  if (found == reinterpret_cast<HRSRC>(&RecordMark))
    return reinterpret_cast<HGLOBAL>(&RecordMark);
  return PlatformReal().LoadResource(module, found);
}
LPVOID WINAPI LockWithRecord(HGLOBAL loaded) {
  if (loaded == reinterpret_cast<HGLOBAL>(&RecordMark))
    return &SweepRecord[0];
  return PlatformReal().LockResource(loaded);
}

// The companion lies beside the test program while the sweep lives.
class CompanionBeside {
 public:
  CompanionBeside() {
    char path[MAX_PATH];
    GetModuleFileNameA(NULL, path, MAX_PATH);
    path_ = path;
    path_ = path_.substr(0, path_.rfind('\\') + 1) + "kavel.chm";
    WriteFileBytes(path_, kCompanionContent);
    SweepRecord = RecordBytes({{kShippedCompanion, "kavel.chm", kCompanionContent}});
  }
  ~CompanionBeside() { DeleteFileA(path_.c_str()); }

 private:
  std::string path_;
};

std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const std::string& entry : ListTree(dir)) {
    const DWORD attributes = GetFileAttributesA((dir + "\\" + entry).c_str());
    files[entry] = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? "<dir>" : ReadFileBytes(dir + "\\" + entry);
  }
  return files;
}

struct Outcome {
  int result;
  bool dialogShown;
  std::vector<std::string> boxes;
  std::string workDir;      // A work directory left behind, if any.
  std::string placeholder;  // A file left behind in its place, if any.
};
bool DialogShown;

Outcome RunOnce(const ScopedTempFolder& temp) {
  Outcome outcome;
  S.handles.clear();
  S.searches.clear();
  S.blocks.clear();
  S.libraries = 0;
  S.boxesTried = 0;
  S.fired = false;
  S.phase = kBeforeRun;
  S.companionsLooked = false;
  Launched = false;
  SeenAtLaunch.clear();
  BoxScript boxes;
  // A user goes on at the first prompts for a disk or a volume, then gives
  // up: "Anuluj", and "Tak" to stopping.
  int prompts = 0;
  boxes.WhileOpen([&](const BoxRecord& box) {
    const UINT buttons = box.type & MB_TYPEMASK;
    if ((buttons == MB_OKCANCEL || buttons == MB_RETRYCANCEL) && ++prompts > 3)
      boxes.Answer({IDCANCEL});
    else if (buttons == MB_YESNOCANCEL)
      boxes.Answer({IDYES});
  });
  ScopedPlatform platform;
  FakeSecondStage([](const std::string&, const std::string& directory) {
    Launched = true;
    SeenAtLaunch = Snapshot(directory);
  });
  // As the installer runs: elevated, so that the protected work directory
  // is made and each of its calls is failed in turn; and with a record of
  // what is shipped beside it, a companion file, checked and copied.
  Platform.GetTokenInformation = ElevatedTokenInformation;
  Platform.FindResourceA = FindWithRecord;
  Platform.SizeofResource = SizeWithRecord;
  Platform.LoadResource = LoadWithRecord;
  Platform.LockResource = LockWithRecord;
  InstallHooks();
  DialogShown = false;
  S.sleptMs = 0;
  S.deadline = GetTickCount64() + 1000ull * RunDeadlineSeconds();
  outcome.result = RunInstallerDialog([](HWND dialog) {
    DialogShown = true;
    PressButton(dialog, IDOK);
  });
  S.deadline = 0;
  outcome.dialogShown = DialogShown;
  outcome.boxes = boxes.texts();
  for (const std::string& entry : temp.Contents()) {
    if (entry.compare(0, 3, "dm_") != 0 || entry.find('\\') != std::string::npos)
      continue;
    const std::string path = temp.path() + entry;
    if (GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
      outcome.workDir = path;
    else
      outcome.placeholder = path;
    RemoveTreeForTest(path);
    DeleteFileA(path.c_str());
  }
  return outcome;
}

// Every text the installer shows, whole or (for the formatted ones) as the
// start; "OK" is not among them: a failure must never be told as "OK".
const char kFolderBox[] =
    "Nie można użyć folderu, w którym znajduje się instalator: jego nazwa jest za długa lub zawiera "
    "znaki, których ten system nie obsługuje.\n\nProszę przenieść instalator do folderu o krótkiej "
    "nazwie (np. C:\\Instalki) i uruchomić go ponownie.";

// Set for a run whose fault is in the conversion of texts into UTF-16.
bool Garbled = false;

// Whether the box text `seen` is `known` (with `prefix`: starts with it). A
// text the platform would not convert is shown byte by byte: its ASCII
// letters right and each other letter as some one letter; only the ASCII
// ones are compared then.
bool Shows(const std::string& seen, const std::string& known, bool prefix = false) {
  if (!Garbled)
    return prefix ? seen.compare(0, known.size(), known) == 0 : seen == known;
  if (prefix ? seen.size() < known.size() : seen.size() != known.size())
    return false;
  for (size_t i = 0; i < known.size(); ++i) {
    if (!(known[i] & 0x80) && seen[i] != known[i])
      return false;
  }
  return true;
}

bool IsKnownText(const std::string& text) {
  static const char* const kWhole[] = {
      "Błąd przygotowania katalogu tymczasowego!",
      "Do zainstalowania tej wersji potrzebna jest biblioteka CABINET.DLL!\n\nInstalacja zostanie przerwana.",
      "Błąd kopiowania pliku instalacyjnego!",
      "Nie można rozpakować zbiorów instalacyjnych!",
      "Błąd przenoszenia zbiorów\nz katalogu tymczasowego",
      "Nie można utworzyć katalogu tymczasowego",
      "Nie znaleziono archiwum .CAB",
      "To nie jest archiwum .CAB",
      "Nie rozpoznana wersja archiwum .CAB",
      "Uszkodzone archiwum .CAB",
      "Brak pamięci",
      "Nie obsługiwana metoda kompresji",
      "Błąd rozpakowywania",
      "Błąd zapisu do zbioru",
      "Przerwanie użytkownika",
      "Nie rozpoznany błąd archiwum .CAB",
      "Na pewno przerwać operację?",
      "Uszkodzony spis zbiorów instalacyjnych!",
      kFolderBox,
  };
  static const char* const kStarts[] = {"Nie mogę ", "Proszę włożyć dysk z plikiem ", "Zbiór "};
  for (const char* whole : kWhole) {
    if (Shows(text, whole))
      return true;
  }
  for (const char* start : kStarts) {
    if (Shows(text, start, true))
      return true;
  }
  return false;
}

bool StartsWith(const std::string& text, const char* start) {
  return Shows(text, start, true);
}

// Whether `boxes` is the one box `text`.
bool OnlyBox(const std::vector<std::string>& boxes, const char* text) {
  return boxes.size() == 1 && Shows(boxes[0], text);
}

// What is wrong with `boxes` for a run that ended with `result` after a
// fault in `phase`; empty when nothing is.
std::string ExpectedBoxes(Phase phase, int result, const std::vector<std::string>& boxes) {
  static const char kWorkDirBox[] = "Błąd przygotowania katalogu tymczasowego!";
  static const char kLibraryBox[] =
      "Do zainstalowania tej wersji potrzebna jest biblioteka CABINET.DLL!\n\nInstalacja zostanie przerwana.";
  static const char kPayloadBox[] = "Błąd kopiowania pliku instalacyjnego!";
  static const char kUnpackBox[] = "Nie można rozpakować zbiorów instalacyjnych!";
  static const char kRecordBox[] = "Uszkodzony spis zbiorów instalacyjnych!";
  // Boxes naming what is left to remove by hand may follow any failure (a
  // fault that lasts can keep the staging and the work directory from
  // going); the step's own box comes before them.
  size_t told = boxes.size();
  while (told > 0 && StartsWith(boxes[told - 1], "Nie mogę usunąć"))
    --told;
  const std::string last = told == 0 ? "" : boxes[told - 1];
  if (result == 1) {
    // A fault that did not stop the run may only have left something to
    // remove by hand, and then said so, or, while unpacking, made a cabinet
    // fail to open once, and then the disk was asked for (and given).
    for (const std::string& box : boxes) {
      if (!StartsWith(box, "Nie mogę usunąć") &&
          !(phase == kExtraction && StartsWith(box, "Proszę włożyć dysk z plikiem ")))
        return "a run that went on showed \"" + box + "\"";
    }
    return "";
  }
  switch (phase) {
    case kBeforeRun:
    case kWorkDirectory:
      return OnlyBox(boxes, kWorkDirBox) ? "" : "expected only the work-directory box";
    case kBinding:
      // The installer's folder and its record are read right after the
      // library is bound.
      return OnlyBox(boxes, kLibraryBox) || OnlyBox(boxes, kFolderBox) || OnlyBox(boxes, kRecordBox)
                 ? ""
                 : "expected only the library, the folder or the record box";
    case kPayload:
      return Shows(last, kPayloadBox) ? "" : "expected to end with the payload box";
    case kCompanions:
      return "a companion that could not be copied stopped the run";
    case kExtraction:
      // Mostly a reason comes first; not when the library's context could
      // not even be made.
      return Shows(last, kUnpackBox) ? "" : "expected to end with the unpacking box";
    case kLaunch:
      return StartsWith(last, "Nie mogę uruchomić programu ") ? "" : "expected the start box";
    case kCleanup:
      return "a fault in the clean-up made the run fail";
  }
  return "";
}

std::string Describe(const Site& site, FaultMode mode) {
  char text[200];
  snprintf(text, sizeof(text), "%s%s failing in the %s, called from %p < %p < %p", kEntryNames[site.index],
           kModeNames[mode], kPhaseNames[site.phase], site.callers[0], site.callers[1], site.callers[2]);
  return text;
}

// A run that does not end is a loop: no later check would ever be reached,
// so the program stops here, naming the run.
DWORD WINAPI Watchdog(void*) {
  for (;;) {
    Sleep(1000);
    const ULONGLONG deadline = S.deadline;
    if (deadline != 0 && GetTickCount64() > deadline) {
      fprintf(stderr, "fault sweep: a run did not end within %d s: %s\n", RunDeadlineSeconds(),
              S.running.c_str());
      fflush(stderr);
      TerminateProcess(GetCurrentProcess(), 3);
    }
  }
}

TEST(FaultSweep, EveryCallSiteOfTheRun) {
  InstallerWindow = NULL;
  ScopedTempFolder temp;
  CompanionBeside companion;

  // The run as it goes without faults: the reference for every other.
  S = Sweep();
  S.recording = true;
  const Outcome clean = RunOnce(temp);
  S.recording = false;
  ASSERT_EQ(clean.result, 1);
  ASSERT_TRUE(clean.boxes.empty());
  ASSERT_TRUE(Launched);
  const std::map<std::string, std::string> expectedFiles = SeenAtLaunch;
  ASSERT_GT(expectedFiles.size(), 5u);
  ASSERT_EQ(expectedFiles.count("kavel.chm"), 1u);
  const std::vector<Site> sites = S.sites;

  CloseHandle(CreateThread(NULL, 0, Watchdog, NULL, 0, NULL));
  int runs = 0, failures = 0, swept = 0, persistentRuns = 0;
  ULONGLONG longest = 0;
  std::set<int> entriesSwept;
  for (const Site& site : sites) {
    if (!CanFail(site.index))
      continue;
    ++swept;
    entriesSwept.insert(site.index);
    std::vector<FaultMode> modes = {kFail, kPersistent};
    if (site.index == kReadFile || site.index == kWriteFile)
      modes.push_back(kShortCount);
    for (FaultMode mode : modes) {
      ++runs;
      S.target = site;
      S.mode = mode;
      S.running = Describe(site, mode);
      Garbled = site.index == kMultiByteToWideChar;
      const ULONGLONG started = GetTickCount64();
      const Outcome run = RunOnce(temp);
      const ULONGLONG took = GetTickCount64() - started;
      longest = std::max(longest, took);
      if (mode == kPersistent)
        ++persistentRuns;
      S.target = {-1, kBeforeRun, {}};
      std::vector<std::string> problems;
      if (!run.dialogShown) {
        // Before the dialog: nothing is made, nothing shown; the result is
        // -1 when the common controls failed, else 0.
        if (run.result != (site.index == kInitCommonControlsEx ? -1 : 0))
          problems.push_back("result " + std::to_string(run.result) + " without a dialog");
        if (!run.boxes.empty() || !run.workDir.empty())
          problems.push_back("boxes or a work directory without a dialog");
      } else if (run.result != 0 && run.result != 1) {
        problems.push_back("result " + std::to_string(run.result));
      }
      if (!S.handles.empty())
        problems.push_back(std::to_string(S.handles.size()) + " handles left open");
      if (!S.searches.empty())
        problems.push_back(std::to_string(S.searches.size()) + " searches left open");
      if (!S.blocks.empty())
        problems.push_back(std::to_string(S.blocks.size()) + " blocks not freed");
      if (S.libraries != 0)
        problems.push_back("library left loaded");
      if (run.boxes.size() > 1000)
        problems.push_back("a box shown again and again");
      for (const std::string& box : run.boxes) {
        if (!IsKnownText(box))
          problems.push_back("a box the installer has no such text for: " + box);
      }
      if (!run.workDir.empty()) {
        bool named = false;
        for (const std::string& box : run.boxes)
          named = named || box.find(run.workDir) != std::string::npos;
        if (!named)
          problems.push_back("work directory left without a box naming it");
      }
      // The temporary-name service's placeholder that could not be removed:
      // the work directory was then never made, and the box says so.
      if (!run.placeholder.empty() &&
          (run.boxes.empty() || run.boxes[0] != "B\xb3\xb9" "d przygotowania katalogu tymczasowego!"))
        problems.push_back("placeholder " + run.placeholder + " left without the work-directory box");
      if (run.result == 1 && !Launched)
        problems.push_back("success without the second stage");
      // A companion that could not be read or copied is passed over.
      std::map<std::string, std::string> withoutCompanion = expectedFiles;
      withoutCompanion.erase("kavel.chm");
      if (run.result == 1 && SeenAtLaunch != expectedFiles &&
          !(site.phase == kCompanions && SeenAtLaunch == withoutCompanion))
        problems.push_back("success, but the second stage did not find every file as packed");
      if (run.dialogShown && run.result == 0 && S.boxesTried == 0)
        problems.push_back("failure without a box");
      // The boxes the step that failed must end with; a box that could not
      // be shown is not among them.
      if (run.dialogShown && site.index != kMessageBoxW) {
        std::string expected = ExpectedBoxes(site.phase, run.result, run.boxes);
        // A fault that lasts strikes again wherever the site is reached in
        // later steps (the 32-bit stack walk tells fewer sites apart), so
        // the boxes of a later step are right as well.
        for (int later = site.phase + 1; mode == kPersistent && !expected.empty() && later <= kCleanup; ++later) {
          if (ExpectedBoxes(static_cast<Phase>(later), run.result, run.boxes).empty())
            expected.clear();
        }
        if (!expected.empty())
          problems.push_back("in the " + std::string(kPhaseNames[site.phase]) + ": " + expected);
      }
      if (!problems.empty()) {
        ++failures;
        std::string all;
        for (const std::string& p : problems)
          all += "\n  " + p;
        std::string shown;
        for (const std::string& b : run.boxes)
          shown += "\n  box: " + b;
        ADD_FAILURE() << Describe(site, mode) << all << shown;
      }
    }
  }
  int perPhase[8] = {};
  for (const Site& site : sites) {
    if (CanFail(site.index))
      ++perPhase[site.phase];
  }
  printf("fault sweep, call sites by step:");
  for (int phase = 0; phase < 8; ++phase)
    printf(" %s %d%s", kPhaseNames[phase], perPhase[phase], phase < 7 ? "," : "\n");
  printf("fault sweep: %d call sites of %d platform functions swept (%zu sites recorded), %d runs "
         "(%d of them failing from then on), %d failures; the longest run took %.1f s\n",
         swept, static_cast<int>(entriesSwept.size()), sites.size(), runs, persistentRuns, failures,
         longest / 1000.0);
  EXPECT_EQ(failures, 0);
}

}  // namespace
