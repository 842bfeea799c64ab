// Run-time binding to the platform's cabinet library and the callbacks
// through which it does all of its memory and file work.

#ifndef INSTALLER_CABINET_BINDING_H_
#define INSTALLER_CABINET_BINDING_H_

#include <windows.h>
#include <fdi.h>

// The bound library and its entry points; all null while unbound.
// BindCabinetLibrary fills it, UnbindCabinetLibrary frees the library.
struct CabinetApi {
  HMODULE library;
  decltype(&::FDICopy) copy;
  decltype(&::FDIIsCabinet) isCabinet;
  decltype(&::FDIDestroy) destroy;
  decltype(&::FDICreate) create;
};

// The one binding of the process; the extraction calls the library through
// it.
extern CabinetApi Cabinet;

// One entry point to resolve: its name and the slot its address goes to.
struct LibraryEntry {
  const char* name;
  FARPROC* slot;
};

// Loads the library `libraryName` from the system directory (never from the
// installer's folder or the current directory) into `*handleSlot` and
// resolves the `count` entries in order. Returns 1 when all resolved; 0 when
// one is missing, the library then freed; -1 when it did not load. Unless 1
// is returned, the handle and every slot are null.
int LoadLibraryEntries(const char* libraryName, HMODULE* handleSlot, const LibraryEntry* entries,
                       int count);

// Binds "CABINET.DLL" and its entry points FDICopy, FDIIsCabinet, FDIDestroy
// and FDICreate, in that order. Only a result above 0 counts as bound.
int BindCabinetLibrary();

// Frees the library if it is loaded; the entry pointers are left as they are.
void UnbindCabinetLibrary();

// The callbacks handed to FDICreate, in the order it takes them. All memory
// and file work of the library goes through them into the file-system layer;
// file handles are the layer's 32-bit handles, -1 for failure.

// AllocBlock / FreeBlock, keeping account of the blocks handed out. A free
// of anything that is not a live block of CabAlloc's is ignored and counted
// in CabForeignFrees.
FNALLOC(CabAlloc);
FNFREE(CabFree);
extern int CabForeignFrees;

// Frees every block CabAlloc handed out and CabFree did not take back; for
// use once the library's context is destroyed. Returns how many there were.
int CabFreeLeftovers();

// FsOpen with sharing "deny nothing"; -1 when the library already holds 32
// files. When the library creates a file (create flag and writable
// permission) in a directory that does not exist yet, the missing
// directories are made and the open is tried once more. A file only
// to be read never makes directories, whatever permission comes with it.
FNOPEN(CabOpen);

// FsRead. This and the other callbacks that take a handle fail (-1) for one
// that CabOpen did not hand out or that is closed, touching nothing.
FNREAD(CabRead);

// Advances the progress bar by `cb` first, whatever the write then does;
// then FsWrite. The library does not look at the result: a write that does
// not take every byte is noted for CabWriteFellShort.
FNWRITE(CabWrite);

// Starts watching the writes of one pass of the library: forgets any short
// write noted before.
void CabWatchWrites();

// True when a write fell short since CabWatchWrites.
bool CabWriteFellShort();

// FsClose: 0, or -1 (the handle is gone either way).
FNCLOSE(CabClose);

// FsSeek: the new position, or -1.
FNSEEK(CabSeek);

// Closes every file CabOpen opened and CabClose did not close; for use once
// the library's context is destroyed. Returns how many there were.
int CabCloseLeftovers();

#endif  // INSTALLER_CABINET_BINDING_H_
