#include "cabinet/extract.h"

#include <string.h>

#include "cabinet/binding.h"
#include "cabinet/volumes.h"
#include "fs/file.h"
#include "fs/find.h"
#include "fs/path.h"
#include "fs/tree.h"
#include "platform/platform.h"
#include "ui/messages.h"
#include "ui/progress.h"

// Indexed by code + 2: the installer's own -2 and -1, then 0 to 11.
static const char* const kCabinetErrorTexts[] = {
    "Błąd przenoszenia zbiorów\nz katalogu tymczasowego",
    "Nie można utworzyć katalogu tymczasowego",
    "OK",
    "Nie znaleziono archiwum .CAB",
    "To nie jest archiwum .CAB",
    "Nie rozpoznana wersja archiwum .CAB",
    "Uszkodzone archiwum .CAB",
    "Brak pamięci",
    "Nie obsługiwana metoda kompresji",
    "Błąd rozpakowywania",
    "Błąd zapisu do zbioru",
    "Archiwa .CAB mają obszary zarezerwowane\no różnej długości",
    "Ten wolumin archiwum .CAB\nnie należy do tego zestawu",
    "Przerwanie użytkownika",
};

const char* CabinetErrorText(int code) {
  const int index = code + 2;
  if (index < 0 || index >= static_cast<int>(sizeof(kCabinetErrorTexts) / sizeof(kCabinetErrorTexts[0])))
    return "Nie rozpoznany błąd archiwum .CAB";
  return kCabinetErrorTexts[index];
}

void ShowCabinetError(int code) {
  // What a stop cut short is no failure to tell.
  if (!StopRequested)
    ShowError(CabinetErrorText(code));
}

// A code without an entry of its own: "unrecognised cabinet error".
static const int kUnexplainedError = 12;

// Only read-only, hidden, system and archive are carried over.
static const USHORT kKeptAttributes = kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive;

// Takes where the volume the notification names as the next lies into
// `nextCabinet` (empty when it names none); the disk's name is not used
// (prompts name the file). False when the path would not fit.
static bool NoteNextCabinet(CabinetContext* context, const FDINOTIFICATION* notification) {
  context->nextCabinet[0] = '\0';
  return notification->psz1[0] == '\0' || LocateVolume(context->places, notification->psz1, context->nextCabinet);
}

// True when the platform would not make `component` a file of that name: a
// device ("CON", "nul.txt", "COM1 .log", in any case), whose data would go
// nowhere while the run went on as if the file were there; or a name ending
// in a space or a dot, which the platform strips, so that two entries could
// become one file.
static bool IsReservedComponent(const char* component) {
  const size_t length = strlen(component);
  if (length != 0 && (component[length - 1] == ' ' || component[length - 1] == '.'))
    return true;
  // The device is the part before the first dot, trailing spaces dropped.
  size_t base = strcspn(component, ".");
  while (base > 0 && component[base - 1] == ' ')
    --base;
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (size_t i = 0; i < sizeof(kDevices) / sizeof(kDevices[0]); ++i) {
    if (base == strlen(kDevices[i]) && _strnicmp(component, kDevices[i], base) == 0)
      return true;
  }
  return base == 4 && (_strnicmp(component, "COM", 3) == 0 || _strnicmp(component, "LPT", 3) == 0) &&
         component[3] >= '1' && component[3] <= '9';
}

bool IsNameInside(const char* name) {
  for (const char* p = name; *p != '\0'; ++p) {
    if (static_cast<unsigned char>(*p) < 0x20 || strchr(":<>\"|?*", *p) != NULL)
      return false;
  }
  char component[MAX_PATH];
  size_t length = 0;
  for (const char* p = name;; ++p) {
    if (*p == '\\' || *p == '/' || *p == '\0') {
      component[length] = '\0';
      if (IsDotsName(component) || IsReservedComponent(component))
        return false;
      if (*p == '\0')
        return true;
      length = 0;
    } else if (length + 1 < sizeof(component)) {
      component[length++] = *p;
    }
  }
}

// Converts the UTF-8 `name` into the ANSI code page in `out` (`size` bytes).
// False when it is not valid UTF-8, does not fit, or has a character the code
// page cannot hold exactly.
static bool Utf8NameToAnsi(const char* name, char* out, size_t size) {
  WCHAR wide[MAX_PATH];
  return ToWide(CP_UTF8, name, wide, MAX_PATH) && WideToAnsiExact(wide, out, size);
}

// Kind 2: opens the staging file for the next entry of the cabinet.
static INT_PTR OpenStagedFile(CabinetContext* context, const FDINOTIFICATION* notification) {
  // A file already written short, or not closed: going on would only write
  // more.
  if (CabWriteFellShort() || context->failure != 0) {
    context->failure = FDIERROR_TARGET_FILE;
    return -1;
  }
  char name[MAX_PATH];
  bool named;
  if (notification->attribs & _A_NAME_IS_UTF)
    named = Utf8NameToAnsi(notification->psz1, name, sizeof(name));
  else
    named = PathCopy(name, sizeof(name), notification->psz1) != NULL;
  if (!named || !IsNameInside(name)) {
    context->failure = FDIERROR_CORRUPT_CABINET;
    return -1;
  }
  strcpy(context->currentFile, name);
  char target[MAX_PATH];
  if (PathCombine(target, sizeof(target), context->stagingDir, context->currentFile) == NULL) {
    context->failure = FDIERROR_TARGET_FILE;
    return -1;
  }
  // Always a new file: a name the set holds twice is replaced whole by its
  // later entry, instead of being written over its start, which would keep
  // the earlier one's tail and attributes (or, read-only, not open at all).
  const int flags = kFsBinary | kFsCreate | kFsExclusive | kFsSequential | kFsReadWrite;
  INT_PTR handle = CabOpen(target, flags, kFsReadable | kFsWritable);
  if (handle == -1 && FsErrno == kFsExists && RemoveFile(target))
    handle = CabOpen(target, flags, kFsReadable | kFsWritable);
  if (handle == -1)
    context->failure = FDIERROR_TARGET_FILE;
  return handle;
}

// Kind 3: gives a finished file its stored times, closes it and gives it its
// stored attributes. The times are set through the library's own handle,
// which is open for writing, rather than by opening the file once more.
static INT_PTR FinishStagedFile(CabinetContext* context, const FDINOTIFICATION* notification) {
  char target[MAX_PATH];
  const bool joined = PathCombine(target, sizeof(target), context->stagingDir, context->currentFile) != NULL;
  FILETIME local;
  FILETIME utc;
  // Failures here are of no consequence: the file keeps the time of its
  // writing.
  if (Platform.DosDateTimeToFileTime(notification->date, notification->time, &local) &&
      Platform.LocalFileTimeToFileTime(&local, &utc))
    FsSetTimes(static_cast<int32_t>(notification->hf), &utc, &utc);
  // The library goes on whatever this returns; the failure is kept here.
  if (CabClose(notification->hf) != 0) {
    context->failure = FDIERROR_TARGET_FILE;
    return 0;
  }
  // The file was made by its open and has the archive attribute alone,
  // which is what most entries keep: setting it again would change nothing.
  const USHORT kept = notification->attribs & kKeptAttributes;
  if (joined && kept != FILE_ATTRIBUTE_ARCHIVE)
    Platform.SetFileAttributesA(target, kept);
  return 1;
}

// The library's cabinet path is a buffer of this size.
static const size_t kLibraryPathSize = 256;

// Kind 4: the library needs the next volume; `fdie` says why it asks again.
// The volume is read where it lies (cabinet/volumes.h): the library is told
// that folder. A volume it could not use (another set's, not a cabinet,
// unreadable) is asked for, so that the user can change it or give up,
// rather than handed back to the library to fail with for ever.
static INT_PTR RequestNextVolume(CabinetContext* context, FDINOTIFICATION* notification) {
  char directory[MAX_PATH];
  if (!NoteNextCabinet(context, notification) || context->nextCabinet[0] == '\0' ||
      !SplitPath(context->nextCabinet, directory, sizeof(directory), NULL, 0) ||
      strlen(directory) >= kLibraryPathSize) {
    context->failure = FDIERROR_CORRUPT_CABINET;
    return -1;
  }
  const VolumeAsk ask = notification->fdie == FDIERROR_NONE          ? kAskNothing
                        : notification->fdie == FDIERROR_WRONG_CABINET ? kAskWrongFirst
                                                                       : kAskDiskFirst;
  if (!ObtainVolume(context->nextCabinet, ask))
    return -1;
  strcpy(notification->psz3, directory);
  notification->fdie = FDIERROR_NONE;
  return 0;
}

FNFDINOTIFY(CabinetNotify) {
  CabinetContext* context = static_cast<CabinetContext*>(pfdin->pv);
  switch (fdint) {
    case fdintCABINET_INFO:
      strcpy(context->currentCabinet, context->nextCabinet);
      if (!NoteNextCabinet(context, pfdin)) {
        context->failure = FDIERROR_CORRUPT_CABINET;
        return -1;
      }
      context->nextAnnounced = pfdin->psz1[0] != '\0';
      context->lastIndex = pfdin->iCabinet;
      // 0, not 1: the library takes anything but 0 as "stop" when it
      // announces a volume it opened to finish a file.
      return 0;
    case fdintCOPY_FILE:
      return OpenStagedFile(context, pfdin);
    case fdintCLOSE_FILE_INFO:
      return FinishStagedFile(context, pfdin);
    case fdintNEXT_CABINET:
      return RequestNextVolume(context, pfdin);
    default:
      return 1;
  }
}

// The error to report after the library failed: the one noticed here first,
// when there was one, else the library's own; `fallback` when neither says
// anything (the library may fail without recording why, and "OK" must never
// be the text of a failure).
static int FailureCode(const CabinetContext* context, const ERF* error, int fallback) {
  if (context->failure != 0)
    return context->failure;
  return error->erfOper != FDIERROR_NONE ? error->erfOper : fallback;
}

// Where the fields the bar needs lie: in a cabinet's header (its fixed part)
// and in each entry of its file table (the part before the name).
static const size_t kHeaderSize = 36;
static const size_t kFileTableAt = 16;    // coffFiles: where the file table starts.
static const size_t kFileCountAt = 28;    // cFiles.
static const size_t kEntrySize = 16;
static const size_t kEntrySizeAt = 0;     // cbFile: the file's size, unpacked.
static const size_t kEntryFolderAt = 8;   // iFolder: its folder, or a continuation mark.
// The continuation marks that say an entry began in an earlier volume:
// 0xFFFD, and 0xFFFF (continued into the next volume too).
static const uint32_t kContinuedFromPrevious = 0xfffd;
// The longest name an entry may have, its terminator included.
static const uint32_t kNameLimit = 257;

// The file table of a cabinet, read in chunks through an open handle.
struct TableReader {
  int32_t handle;
  int32_t filled;
  int32_t at;
  uint8_t bytes[4096];
};

// Takes `count` bytes into `out` (skips them when `out` is null).
static bool TakeBytes(TableReader* reader, uint8_t* out, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    if (reader->at == reader->filled) {
      reader->filled = FsRead(reader->handle, reader->bytes, sizeof(reader->bytes));
      reader->at = 0;
      if (reader->filled <= 0)
        return false;
    }
    const uint8_t byte = reader->bytes[reader->at++];
    if (out != NULL)
      out[i] = byte;
  }
  return true;
}

static uint32_t Get16(const uint8_t* bytes) {
  return bytes[0] | static_cast<uint32_t>(bytes[1]) << 8;
}

static uint32_t Get32(const uint8_t* bytes) {
  return Get16(bytes) | Get16(bytes + 2) << 16;
}

// The bytes that one pass over the cabinet open as `handle` writes: the sizes
// of the files that begin in it, wherever they end (those continued from an
// earlier volume came with that volume's pass), at most 2^32 - 1. Reads the
// header and the file table, at most 273 bytes an entry; -1 when they cannot
// be read. The file position is left anywhere.
static int64_t UnpackedSize(int32_t handle) {
  TableReader reader;
  reader.handle = handle;
  reader.filled = 0;
  reader.at = 0;
  uint8_t header[kHeaderSize];
  if (FsSeek(handle, 0, kFsFromStart) != 0 || !TakeBytes(&reader, header, sizeof(header)) ||
      memcmp(header, "MSCF", 4) != 0)
    return -1;
  const uint32_t tableAt = Get32(header + kFileTableAt);
  const uint32_t files = Get16(header + kFileCountAt);
  if (tableAt > INT32_MAX || FsSeek(handle, static_cast<int32_t>(tableAt), kFsFromStart) == -1)
    return -1;
  reader.filled = 0;
  reader.at = 0;
  uint64_t total = 0;
  for (uint32_t i = 0; i < files; ++i) {
    uint8_t entry[kEntrySize];
    if (!TakeBytes(&reader, entry, sizeof(entry)))
      return -1;
    if ((Get16(entry + kEntryFolderAt) & kContinuedFromPrevious) != kContinuedFromPrevious)
      total += Get32(entry + kEntrySizeAt);
    uint8_t byte = 1;
    for (uint32_t length = 0; byte != 0; ++length) {
      if (length == kNameLimit || !TakeBytes(&reader, &byte, 1))
        return -1;
    }
  }
  return total > UINT32_MAX ? UINT32_MAX : static_cast<int64_t>(total);
}

// True when the volume described by `info` is where the set goes on: every
// pass but the first starts at the volume the library opened last, or at the
// one after it, of the first volume's set. Anything else (a volume of
// another set left under the same name, an index out of order, a chain of
// names that runs back to an earlier volume) would be unpacked as if it
// belonged, or round and round.
static bool IsExpectedVolume(const CabinetContext* context, const FDICABINETINFO& info) {
  return context->expectedIndex < 0 ||
         (info.setID == context->setId && info.iCabinet == context->expectedIndex);
}

// Opens the volume in `currentCabinet` for a pass and reads its header into
// `info` (`isCabinet` says whether it is one). A further volume is first
// obtained (cabinet/volumes.h); one that is not the set's next is asked for
// again, the user putting the right one in place, until the user gives up.
// The bar's stage is started for the accepted volume. False after the user
// gave up (the user-abort box shown).
static bool OpenVolume(HFDI library, CabinetContext* context, FDICABINETINFO* info, BOOL* isCabinet) {
  VolumeAsk ask = kAskNothing;
  for (;;) {
    // The first volume is the installer's own, written from its image.
    if (context->expectedIndex >= 0 && !ObtainVolume(context->currentCabinet, ask))
      break;
    // Opened through the callbacks: the library reads it through them, and
    // they serve only the handles they handed out.
    const INT_PTR handle = CabOpen(context->currentCabinet, kFsBinary | kFsSequential, 0);
    if (handle == -1) {
      if (context->expectedIndex < 0 && !PromptInsertDisk(context->currentCabinet))
        break;
      ask = kAskDiskFirst;
      continue;
    }
    memset(info, 0, sizeof(*info));
    *isCabinet = Cabinet.isCabinet(library, handle, info);
    if (!*isCabinet || IsExpectedVolume(context, *info)) {
      // The bar runs over what this pass will write, so that it is full
      // when the pass ends, not once as many bytes as the packed volume
      // holds are out. A volume whose file table cannot be read goes by its
      // own size; one that begins no file leaves the bar where it stands.
      const int64_t unpacked = *isCabinet ? UnpackedSize(static_cast<int32_t>(handle)) : -1;
      if (unpacked < 0)
        ProgressStage(static_cast<uint32_t>(FsSize(static_cast<int32_t>(handle))));
      else if (unpacked > 0)
        ProgressStage(static_cast<uint32_t>(unpacked));
      CabClose(handle);
      return true;
    }
    CabClose(handle);
    if (context->expectedIndex < 0 && !PromptWrongVolume(context->currentCabinet))
      break;
    ask = kAskWrongFirst;
  }
  ShowCabinetError(FDIERROR_USER_ABORT);
  return false;
}

// One pass: hands the volume in `currentCabinet` to the library. Returns
// 1 when another pass is due, 0 when the set is done, -1 after a failure
// (its box shown).
static int ExtractVolume(HFDI library, CabinetContext* context, ERF* error) {
  char startCabinet[MAX_PATH];
  char directory[MAX_PATH];
  char fileName[MAX_PATH];
  strcpy(context->nextCabinet, context->currentCabinet);
  strcpy(startCabinet, context->currentCabinet);
  SplitPath(context->currentCabinet, directory, sizeof(directory), fileName, sizeof(fileName));
  if (directory[0] == '\0')
    strcpy(directory, ".\\");

  context->failure = 0;
  FDICABINETINFO info;
  BOOL isCabinet;
  if (!OpenVolume(library, context, &info, &isCabinet))
    return -1;
  if (!isCabinet) {
    ShowCabinetError(FailureCode(context, error, FDIERROR_NOT_A_CABINET));
    return -1;
  }
  if (context->expectedIndex < 0)
    context->setId = info.setID;
  context->lastIndex = info.iCabinet;

  context->nextAnnounced = false;
  CabWatchWrites();
  const BOOL copied = Cabinet.copy(library, fileName, directory, 0, CabinetNotify, NULL, context);
  // The library reports success even when a file could not be written in
  // full or closed: that is a failure all the same.
  if (!copied || CabWriteFellShort() || context->failure != 0) {
    if (CabWriteFellShort() && context->failure == 0)
      context->failure = FDIERROR_TARGET_FILE;
    ShowCabinetError(FailureCode(context, error, FDIERROR_CORRUPT_CABINET));
    return -1;
  }
  // The next pass starts where the library left off: at the last volume it
  // opened to finish a file, or else at the successor of this one. The
  // library sets no "has next" flag for a volume whose files all end in it;
  // the successor it announced on opening the volume counts as well.
  context->expectedIndex = context->lastIndex;
  if (strcmp(context->currentCabinet, startCabinet) == 0 && (info.hasnext || context->nextAnnounced)) {
    strcpy(context->currentCabinet, context->nextCabinet);
    context->expectedIndex = context->lastIndex + 1;
  }
  return strcmp(context->currentCabinet, startCabinet) != 0 ? 1 : 0;
}

// Destroys the library's context and frees and closes what the library
// forgot to (it does now and then when a cabinet is damaged): nothing of it
// may outlive the extraction. Returns the destroy's result.
static BOOL DestroyLibrary(HFDI library) {
  const BOOL destroyed = Cabinet.destroy(library);
  CabFreeLeftovers();
  CabCloseLeftovers();
  return destroyed;
}

int ExtractCabinetSet(const char* cabinetPath, const char* targetDir, const char* mediumDir) {
  CabinetContext context;
  ERF error;
  memset(&context, 0, sizeof(context));
  memset(&error, 0, sizeof(error));
  if (PathCopy(context.currentCabinet, sizeof(context.currentCabinet), cabinetPath) == NULL) {
    ShowCabinetError(FDIERROR_CABINET_NOT_FOUND);
    return -1;
  }

  const HFDI library = Cabinet.create(CabAlloc, CabFree, CabOpen, CabRead, CabWrite, CabClose,
                                      CabSeek, cpu80386, &error);
  if (library == NULL)
    return -1;
  char staging[MAX_PATH];
  if (MakeUniqueDirectory(targetDir, staging, "cab") == NULL) {
    DestroyLibrary(library);
    ShowCabinetError(kCabinetStagingNotMade);
    return -1;
  }
  context.stagingDir = staging;
  context.expectedIndex = -1;

  int pass = -1;
  if (FindVolumePlaces(cabinetPath, mediumDir, &context.places)) {
    while ((pass = ExtractVolume(library, &context, &error)) == 1) {
    }
  } else {
    ShowCabinetError(FDIERROR_CABINET_NOT_FOUND);
  }
  const BOOL destroyed = DestroyLibrary(library);
  ReleaseVolumes();

  int result = -1;
  if (pass == 0 && destroyed) {
    if (MoveTree(staging, targetDir) == 1)
      result = 0;
    else
      ShowCabinetError(kCabinetMoveFailed);
  } else if (pass == 0) {
    ShowCabinetError(FailureCode(&context, &error, kUnexplainedError));
  }
  if (result != 0)
    DeleteTree(staging);
  return result;
}
