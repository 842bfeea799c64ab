#include "cabinet/binding.h"

// The library is not bound yet: the run reports it as missing.
int BindCabinetLibrary() {
  return -1;
}

void UnbindCabinetLibrary() {}
