// The floor for the benchmark: the platform's cabinet library unpacking a
// cabinet into a directory with plain callbacks (the C runtime's memory and
// file calls), ending with the same files as the installer (their stored
// times and the attributes it keeps), and nothing else: no staging, no
// progress.
// A set of volumes is unpacked volume by volume, each after the one it
// follows, as the installer does: every file begins in one of them.
// Usage: fdicopy CABINET TARGET_DIR   Prints the milliseconds FDICopy took.

#include <windows.h>
#include <fcntl.h>
#include <fdi.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

namespace {

char Target[MAX_PATH];
char Current[MAX_PATH];  // The file being written.
char Next[MAX_PATH];     // The volume that follows the one being unpacked.
bool FirstInfo;          // The next notification of a volume opened is this pass's own.

FNALLOC(Alloc) { return malloc(cb); }
FNFREE(Free) { free(pv); }
FNOPEN(Open) { return _open(pszFile, oflag, pmode); }
FNREAD(Read) { return static_cast<UINT>(_read(static_cast<int>(hf), pv, cb)); }
FNWRITE(Write) { return static_cast<UINT>(_write(static_cast<int>(hf), pv, cb)); }
FNCLOSE(Close) { return _close(static_cast<int>(hf)); }
FNSEEK(Seek) { return _lseek(static_cast<int>(hf), dist, seektype); }

void MakeParents(char* path) {
  for (char* p = path + 3; *p; ++p) {
    if (*p == '\\') {
      *p = '\0';
      CreateDirectoryA(path, NULL);
      *p = '\\';
    }
  }
}

FNFDINOTIFY(Notify) {
  if (fdint == fdintCABINET_INFO) {
    // The library announces the volume it opens; the pass's own comes
    // first, and the volume after it is where the next pass begins.
    if (FirstInfo)
      snprintf(Next, sizeof(Next), "%s", pfdin->psz1);
    FirstInfo = false;
    return 0;
  }
  if (fdint == fdintNEXT_CABINET)
    return 0;  // The library goes on with the volume it names, beside the others.
  if (fdint == fdintCOPY_FILE) {
    snprintf(Current, sizeof(Current), "%s\\%s", Target, pfdin->psz1);
    MakeParents(Current);
    return _open(Current, _O_BINARY | _O_CREAT | _O_TRUNC | _O_WRONLY | _O_SEQUENTIAL, _S_IREAD | _S_IWRITE);
  }
  if (fdint == fdintCLOSE_FILE_INFO) {
    FILETIME local, utc;
    if (DosDateTimeToFileTime(pfdin->date, pfdin->time, &local) && LocalFileTimeToFileTime(&local, &utc))
      SetFileTime(reinterpret_cast<HANDLE>(_get_osfhandle(static_cast<int>(pfdin->hf))), &utc, NULL, &utc);
    _close(static_cast<int>(pfdin->hf));
    // A file made in the fresh folder has the archive attribute alone: as
    // the installer, the floor does not set exactly that again.
    if ((pfdin->attribs & 0x27) != FILE_ATTRIBUTE_ARCHIVE)
      SetFileAttributesA(Current, pfdin->attribs & 0x27);
    return TRUE;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: fdicopy CABINET TARGET_DIR\n");
    return 2;
  }
  snprintf(Target, sizeof(Target), "%s", argv[2]);
  char directory[MAX_PATH];
  snprintf(directory, sizeof(directory), "%s", argv[1]);
  char* name = strrchr(directory, '\\');
  if (name == NULL)
    return 2;
  char file[MAX_PATH];
  snprintf(file, sizeof(file), "%s", name + 1);
  name[1] = '\0';
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  ERF error = {};
  HFDI context = FDICreate(Alloc, Free, Open, Read, Write, Close, Seek, cpu80386, &error);
  BOOL copied = context != NULL;
  while (copied) {
    FirstInfo = true;
    Next[0] = '\0';
    copied = FDICopy(context, file, directory, 0, Notify, NULL, NULL);
    if (Next[0] == '\0')
      break;
    snprintf(file, sizeof(file), "%s", Next);
  }
  if (context != NULL)
    FDIDestroy(context);
  QueryPerformanceCounter(&end);
  if (!copied) {
    fprintf(stderr, "FDICopy failed: %d\n", error.erfOper);
    return 1;
  }
  printf("%.1f\n", (end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart);
  return 0;
}
