// Paths and new directories. Paths are zero-terminated ANSI strings with "\\"
// as the only separator, held in fixed buffers. Nothing here writes past a
// buffer: a path that would not fit is refused, the buffer is left as it was,
// and the refusal is recorded as FsErrno kFsNameTooLong with FsOsErrno (and
// the platform's last error) ERROR_FILENAME_EXCED_RANGE.

#ifndef INSTALLER_FS_PATH_H_
#define INSTALLER_FS_PATH_H_

#include <stddef.h>

#include <windows.h>

#include "fs/file.h"

// Records the refusal of a path that does not fit its buffer.
void FsSetNameTooLong();

// Copies `source` into `buffer` of `size` bytes. Returns `buffer`, or NULL
// when it does not fit.
char* PathCopy(char* buffer, size_t size, const char* source);

// Appends `text` to the string in `buffer` of `size` bytes, with nothing in
// between. Returns `buffer`, or NULL when the result would not fit.
char* PathAppend(char* buffer, size_t size, const char* text);

// Appends `name` to the directory path in `dir` (a buffer of `size` bytes),
// putting "\\" in between unless `dir` is empty, already ends with "\\", or is
// a drive designator such as "C:". `name` is appended unchanged. Returns
// `dir`, or NULL when the result would not fit.
char* PathJoin(char* dir, size_t size, const char* name);

// Copies `dir` into `out` of `size` bytes and joins `name` onto it as
// PathJoin does. Returns `out`, or NULL when the result would not fit.
char* PathCombine(char* out, size_t size, const char* dir, const char* name);

// The last occurrence of `ch` in `text`, or NULL.
char* FindLastChar(const char* text, char ch);

// Splits `path` at its last separator: the folder with the separator into
// `dir` (empty when there is none), the rest into `name`; either may be null
// (with its size 0). False, the buffers untouched, when a part does not fit.
bool SplitPath(const char* path, char* dir, size_t dirSize, char* name, size_t nameSize);

// True when `name` consists of dots only; the empty name counts.
bool IsDotsName(const char* name);

// The longest path the platform takes through its UTF-16 functions,
// terminator included.
static const size_t kLongPathSize = 32768;

// Converts the UTF-16 `wide` into the ANSI code page, into `out` of `size`
// bytes. False when it does not fit or holds a character the code page
// cannot hold exactly (none is replaced by a look-alike or a "?"). On a
// system whose ANSI code page is UTF-8 every valid text is held.
bool WideToAnsiExact(const WCHAR* wide, char* out, size_t size);

// The path `wide` in the ANSI code page, into `out` of `size` bytes: as it is
// when the code page holds it exactly and it fits, else its short (8.3) form
// when the volume has one that the code page holds and that fits. False
// otherwise: a path with a character replaced would name another file, or
// none.
bool PathToAnsi(const WCHAR* wide, char* out, size_t size);

// Makes the missing directories above the file `path`: climbs while a
// directory's parent is missing, then makes each level down once, so a path
// of d levels costs at most 2*d directory calls whatever fails. Returns 0
// when every directory above `path` is there, -1 when the path runs out of
// separators first or a directory cannot be made (its error recorded).
int MakeParentDirs(const char* path);

// Makes a new, empty directory in `parentDir`, named by the platform's
// temporary-name service from `prefix`, its full path in `out` (260 bytes).
// Returns `out`, or NULL (a `parentDir` longer than MAX_PATH - 14
// characters, which leaves no room for the name, is refused as too long
// before anything is made). A name taken by someone else between its drawing
// and the directory's making is drawn again, a hundred times at most. Leaves
// no placeholder file behind, unless the placeholder itself cannot be
// removed (then NULL). `security` (may be null) is the new directory's.
char* MakeUniqueDirectory(const char* parentDir, char* out, const char* prefix,
                          SECURITY_ATTRIBUTES* security = NULL);

#endif  // INSTALLER_FS_PATH_H_
