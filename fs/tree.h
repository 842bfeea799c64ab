// Removal and moving of whole directory trees. Both walks stop at the first
// entry they cannot handle, leave what was done in place, and tell the user
// with one ShowSystemError box at the level where it failed. Neither ever
// follows a link (an entry with FILE_ATTRIBUTE_REPARSE_POINT) out of the tree:
// a link is removed or moved as itself.

#ifndef INSTALLER_FS_TREE_H_
#define INSTALLER_FS_TREE_H_

// Removes `dir` with everything in it, hidden, system and read-only entries
// included. An entry in use (errors 32, 5, 145) is tried again for up to ten
// seconds in all, the dialog's messages served meanwhile, before its box.
// Returns 1 when `dir` is gone (also when it never existed), else 0.
int DeleteTree(const char* dir);

// For a file, moves `src` to `dst`; for a directory, only makes `dst`. Either
// way `dst` gets the attributes of `src` (0 when they cannot be read).
// Returns 1, or 0 without a message.
int MoveEntry(const char* src, const char* dst, bool isDir);

// Moves every entry of `src` into `dst`, replacing entries of the same name
// (a directory is replaced whole, not merged), then removes `src`. Returns 1
// when all of it was done, else 0.
int MoveTree(const char* dst, const char* src);

#endif  // INSTALLER_FS_TREE_H_
