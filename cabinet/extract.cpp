#include "cabinet/extract.h"

// Without a bound library nothing can be unpacked.
int ExtractCabinetSet(const char* cabinetPath, const char* targetDir) {
  (void)cabinetPath;
  (void)targetDir;
  return -1;
}
