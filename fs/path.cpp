#include "fs/path.h"

#include <string.h>
#include <windows.h>

#include "fs/file.h"
#include "platform/platform.h"

// MakeParentDirs works on a private copy of this size, as large as a tree
// walk's (fs/tree.cpp), whose paths it may be given.
static const size_t kParentDirsBufferSize = MAX_PATH + 4;

void FsSetNameTooLong() {
  FsErrno = kFsNameTooLong;
  FsOsErrno = ERROR_FILENAME_EXCED_RANGE;
  // Message boxes read the platform's last error for their explanation.
  Platform.SetLastError(ERROR_FILENAME_EXCED_RANGE);
}

char* PathCopy(char* buffer, size_t size, const char* source) {
  const size_t length = strlen(source);
  if (length >= size) {
    FsSetNameTooLong();
    return NULL;
  }
  memcpy(buffer, source, length + 1);
  return buffer;
}

char* PathAppend(char* buffer, size_t size, const char* text) {
  const size_t used = strlen(buffer);
  if (used >= size || PathCopy(buffer + used, size - used, text) == NULL) {
    FsSetNameTooLong();
    return NULL;
  }
  return buffer;
}

char* PathJoin(char* dir, size_t size, const char* name) {
  const size_t length = strlen(dir);
  const bool isDrive = length == 2 && dir[1] == ':';
  const bool needsSeparator = length != 0 && !isDrive && dir[length - 1] != '\\';
  if (length + (needsSeparator ? 1 : 0) + strlen(name) >= size) {
    FsSetNameTooLong();
    return NULL;
  }
  if (needsSeparator)
    PathAppend(dir, size, "\\");
  return PathAppend(dir, size, name);
}

char* PathCombine(char* out, size_t size, const char* dir, const char* name) {
  return PathCopy(out, size, dir) != NULL ? PathJoin(out, size, name) : NULL;
}

char* FindLastChar(const char* text, char ch) {
  for (size_t i = strlen(text); i > 0; --i) {
    if (text[i - 1] == ch)
      return const_cast<char*>(text + i - 1);
  }
  return NULL;
}

bool SplitPath(const char* path, char* dir, size_t dirSize, char* name, size_t nameSize) {
  const char* separator = FindLastChar(path, '\\');
  const char* rest = separator != NULL ? separator + 1 : path;
  const size_t dirLength = static_cast<size_t>(rest - path);
  if ((dir != NULL && dirLength >= dirSize) || (name != NULL && strlen(rest) >= nameSize)) {
    FsSetNameTooLong();
    return false;
  }
  if (dir != NULL) {
    memcpy(dir, path, dirLength);
    dir[dirLength] = '\0';
  }
  if (name != NULL)
    strcpy(name, rest);
  return true;
}

bool IsDotsName(const char* name) {
  while (*name == '.')
    ++name;
  return *name == '\0';
}

bool WideToAnsiExact(const WCHAR* wide, char* out, size_t size) {
  if (size == 0 || size > INT32_MAX)
    return false;
  // UTF-8 holds every character; the platform refuses the flag and the
  // question about a default character for it, and checks the text instead.
  if (Platform.GetACP() == CP_UTF8)
    return Platform.WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, out,
                                        static_cast<int>(size), NULL, NULL) != 0;
  BOOL substituted = FALSE;
  const int written = Platform.WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, out,
                                                   static_cast<int>(size), NULL, &substituted);
  return written != 0 && !substituted;
}

bool PathToAnsi(const WCHAR* wide, char* out, size_t size) {
  if (WideToAnsiExact(wide, out, size))
    return true;
  bool converted = false;
  WCHAR* shortPath = static_cast<WCHAR*>(AllocBlock(kLongPathSize * sizeof(WCHAR)));
  if (shortPath != NULL) {
    const DWORD length = Platform.GetShortPathNameW(wide, shortPath, kLongPathSize);
    converted = length != 0 && length < kLongPathSize && WideToAnsiExact(shortPath, out, size);
    FreeBlock(shortPath);
  }
  return converted;
}

int MakeParentDirs(const char* path) {
  char buffer[kParentDirsBufferSize];
  if (PathCopy(buffer, sizeof(buffer), path) == NULL)
    return -1;
  const char* const end = buffer + strlen(buffer);
  // Up: the path is cut at its separators from the end until a directory is
  // made or found present. Only "the directory above is missing" climbs on:
  // any other failure (a name the platform refuses, access refused, a full
  // disk) would fail alike at every level.
  char* separator;
  for (;;) {
    separator = FindLastChar(buffer, '\\');
    if (separator == NULL)
      return -1;
    *separator = '\0';
    if (FsMkdir(buffer) == 0 || FsErrno == kFsExists)
      break;
    if (FsErrno != kFsNoEntry)
      return -1;
  }
  // Down: each separator cut is put back in turn, and each level it ends is
  // made once; the last one ends the file's own name.
  for (;;) {
    *separator = '\\';
    separator += strlen(separator);
    if (separator == end)
      return 0;
    if (FsMkdir(buffer) != 0 && FsErrno != kFsExists)
      return -1;
  }
}

// How many names MakeUniqueDirectory draws before it gives up: each draw
// after the first means someone took the name just drawn, which does not
// happen by chance a hundred times in a row.
static const int kNameDraws = 100;

// The temporary-name service takes a folder of at most MAX_PATH less this
// many characters, room for the name it draws. Given a longer one, Wine's
// makes the placeholder anyway and hands back its name cut at MAX_PATH,
// unterminated: the directory made from it would have a name of whatever
// followed, and a path too long to remove.
static const size_t kDrawnNameRoom = 14;

char* MakeUniqueDirectory(const char* parentDir, char* out, const char* prefix,
                          SECURITY_ATTRIBUTES* security) {
  if (strlen(parentDir) > MAX_PATH - kDrawnNameRoom) {
    FsSetNameTooLong();
    return NULL;
  }
  for (int draw = 0; draw < kNameDraws; ++draw) {
    // The service creates an empty placeholder file to reserve the name.
    if (Platform.GetTempFileNameA(parentDir, prefix, 0, out) == 0)
      return NULL;
    // A placeholder that cannot be removed stays; drawing another name would
    // leave one more file behind on every round.
    if (FsUnlink(out) != 0)
      return NULL;
    if (FsMkdir(out, security) == 0)
      return out;
    // A directory of that name made by someone else in the meantime is never
    // used: it would carry their permissions.
    if (FsErrno != kFsExists)
      return NULL;
    // Someone took the name between the unlink and the mkdir: draw another.
  }
  return NULL;
}
