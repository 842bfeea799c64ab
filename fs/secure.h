// Who may change the work directory. The installer runs elevated but
// unpacks into the user's temporary folder, which every program of the same
// user can write without elevation: such a program could swap the second
// stage, or put a library beside it, between the unpacking and the start,
// and its code would then run with administrator rights.

#ifndef INSTALLER_FS_SECURE_H_
#define INSTALLER_FS_SECURE_H_

#include <windows.h>

// When the process runs elevated, fills `attributes` with a descriptor for a
// new directory that does not inherit from its parent: full control for
// SYSTEM and Administrators, read and execute for the user and for OWNER
// RIGHTS (which withdraws the owner's implicit right to change the
// permissions), inherited by everything made inside, and a High mandatory
// label that refuses writes from below. Returns 1 then (release it with
// FreeDirectorySecurity), 0 when the process is not elevated (nothing to
// release; the directory is made as usual), -1 when elevation cannot be told
// or the descriptor cannot be made.
int MakeDirectorySecurity(SECURITY_ATTRIBUTES* attributes);

// Releases what MakeDirectorySecurity put into `attributes`.
void FreeDirectorySecurity(SECURITY_ATTRIBUTES* attributes);

#endif  // INSTALLER_FS_SECURE_H_
