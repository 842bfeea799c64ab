// Run-time binding to the platform's cabinet library and the callbacks
// through which it does all of its memory and file work.

#ifndef INSTALLER_CABINET_BINDING_H_
#define INSTALLER_CABINET_BINDING_H_

// Loads "CABINET.DLL" and resolves its four entry points. Returns 1 when all
// resolved, 0 when one is missing (nothing stays loaded), -1 when the library
// did not load. Only a result above 0 counts as bound.
int BindCabinetLibrary();

// Frees the library if it is loaded.
void UnbindCabinetLibrary();

#endif  // INSTALLER_CABINET_BINDING_H_
