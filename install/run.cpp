#include "install/run.h"

#include "cabinet/binding.h"
#include "cabinet/extract.h"
#include "fs/copy.h"
#include "fs/path.h"
#include "fs/secure.h"
#include "fs/tree.h"
#include "install/launch.h"
#include "install/payload.h"
#include "platform/platform.h"
#include "ui/messages.h"
#include "ui/progress.h"

static const char kWorkDirFailed[] = "Błąd przygotowania katalogu tymczasowego!";
static const char kLibraryMissing[] =
    "Do zainstalowania tej wersji potrzebna jest biblioteka CABINET.DLL!\n\n"
    "Instalacja zostanie przerwana.";
static const char kPayloadNotWritten[] = "Błąd kopiowania pliku instalacyjnego!";
static const char kPayloadNotUnpacked[] = "Nie można rozpakować zbiorów instalacyjnych!";
// The installer's folder is handed to the second stage and is where
// companion files and later volumes are found: a folder that cannot be named
// exactly is never replaced by another.
static const char kFolderUnusable[] =
    "Nie można użyć folderu, w którym znajduje się instalator: jego nazwa jest za długa "
    "lub zawiera znaki, których ten system nie obsługuje.\n\n"
    "Proszę przenieść instalator do folderu o krótkiej nazwie (np. C:\\Instalki) "
    "i uruchomić go ponownie.";

// The installer's own record of what lies beside it is damaged: nothing
// there can be told from what someone else put there.
static const char kRecordDamaged[] = "Uszkodzony spis zbiorów instalacyjnych!";

static const char kPayloadName[] = "dmins.cab";

char* MakeWorkDirectory(char* buffer) {
  // The temporary folder is read in UTF-16: a user whose name the ANSI code
  // page cannot hold has it under a folder the ANSI call would name with
  // "?" for each such letter. Its short form serves then.
  WCHAR tempWide[MAX_PATH + 1];
  char tempDir[MAX_PATH];
  buffer[0] = '\0';
  const DWORD length = Platform.GetTempPathW(MAX_PATH + 1, tempWide);
  // A result beyond the buffer is the size the path would need.
  if (length == 0 || length > MAX_PATH || !PathToAnsi(tempWide, tempDir, sizeof(tempDir)))
    return NULL;
  // Elevated, the directory is made so that only administrators can change
  // what is unpacked into it.
  SECURITY_ATTRIBUTES security = {};
  const int secured = MakeDirectorySecurity(&security);
  if (secured < 0)
    return NULL;
  char* made = MakeUniqueDirectory(tempDir, buffer, "dm_", secured > 0 ? &security : NULL);
  FreeDirectorySecurity(&security);
  return made;
}

// Writes the embedded cabinet to `path`; 0 or -1.
static int WritePayload(const char* path) {
  const void* block = NULL;
  const DWORD size = FindPayload(&block);
  return WriteBlockToFile(block, size, path);
}

int RunInstallation() {
  int result = -1;
  char workDir[MAX_PATH];
  char installerFolder[kInstallerPathSize];
  char payloadPath[MAX_PATH];

  if (MakeWorkDirectory(workDir) == NULL) {
    ShowError(kWorkDirFailed);
    return -1;
  }
  if (BindCabinetLibrary() <= 0) {
    UnbindCabinetLibrary();
    ShowError(kLibraryMissing);
    DeleteTree(workDir);
    return -1;
  }
  if (!GetInstallerFolder(installerFolder)) {
    ShowError(kFolderUnusable);
    goto cleanup;
  }
  if (LoadShippedRecord() < 0) {
    ShowError(kRecordDamaged);
    goto cleanup;
  }

  // The bar runs from 0 to 60 % while the payload is written.
  if (PathCombine(payloadPath, sizeof(payloadPath), workDir, kPayloadName) == NULL ||
      WritePayload(payloadPath) != 0) {
    if (!StopRequested)
      ShowError(kPayloadNotWritten);
    goto cleanup;
  }
  // Every later stage starts at 60 % of its own scale.
  ProgressLaterStages();

  // Companions go first, so that a file of the same name in the cabinet
  // replaces its companion.
  if (CopyCompanionFiles(workDir, installerFolder) != 0)
    goto cleanup;
  if (ExtractCabinetSet(payloadPath, workDir, installerFolder) != 0) {
    if (!StopRequested)
      ShowError(kPayloadNotUnpacked);
    goto cleanup;
  }

  // A stop asked for during the last step ends the run here.
  if (StopRequested)
    goto cleanup;
  HideInstallerWindow();
  // What the second stage returns does not matter; that it ran does.
  bool started;
  LaunchSecondStage(workDir, installerFolder, &started);
  if (started)
    result = 0;

cleanup:
  DeleteTree(workDir);
  UnbindCabinetLibrary();
  return result;
}
