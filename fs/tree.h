// Removal and moving of whole directory trees. Both walks stop at the first
// entry they cannot handle, leave what was done in place, and tell the user
// with one ShowSystemError box at the level where it failed. Neither ever
// follows a link (an entry with FILE_ATTRIBUTE_REPARSE_POINT) out of the tree:
// a link is removed or moved as itself.
//
// Busy entries: each call below has its own patience, ten seconds in all for
// everything it does, the dialog's messages served meanwhile; an entry in use
// (error 32, 145, or 5 while someone holds it open or runs it) is tried again
// every 100 ms until it goes or the patience is used up. Any other failure,
// access refused by permissions among them, is told at once.

#ifndef INSTALLER_FS_TREE_H_
#define INSTALLER_FS_TREE_H_

// Removes `dir` with everything in it, hidden, system and read-only entries
// included; a busy entry is waited for (above) before its box. Returns 1 when
// `dir` is gone (also when it never existed), else 0.
int DeleteTree(const char* dir);

// Deletes the file `path`, read-only or not (the read-only bit is cleared
// first; should that fail, the deletion is tried all the same), trying again
// while it is in use, as DeleteTree does. Returns 1, or 0 with the
// deletion's error recorded; shows nothing.
int RemoveFile(const char* path);

// Moves the file `src` to `dst` (which must not exist) and gives it the
// attributes `src` had (0 when they cannot be read). Returns 1, or 0 without
// a message.
int MoveFileEntry(const char* src, const char* dst);

// Moves every entry of the directory `src` into the directory `dst`,
// replacing entries of the same name (a directory is replaced whole, not
// merged; a busy one is waited for, above), then removes `src`. Returns 1
// when all of it was done, else 0.
int MoveTree(const char* src, const char* dst);

#endif  // INSTALLER_FS_TREE_H_
