// What checking a file beside the installer costs: opened with writers shut
// out, its size compared and its SHA-256 computed through the installer's
// own code, as before the platform's library reads a further volume.
// Usage: hashcheck FILE   Prints "bytes milliseconds MB/s" (the file is read
// whole and found to differ from an entry of its size and a hash of zeros).

#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "fs/shipped.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: hashcheck FILE\n");
    return 2;
  }
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(argv[1], GetFileExInfoStandard, &data)) {
    fprintf(stderr, "hashcheck: cannot read %s\n", argv[1]);
    return 1;
  }
  ShippedEntry entry = {};
  entry.kind = kShippedVolume;
  strcpy(entry.name, "file");
  entry.size = data.nFileSizeLow;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  int32_t held;
  const int check = CheckShippedFile(argv[1], entry, &held);
  QueryPerformanceCounter(&end);
  const double ms = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
  printf("%u %.0f %.0f%s\n", static_cast<unsigned>(entry.size), ms, entry.size / ms / 1000.0,
         check == kShippedDiffers ? "" : " (not read whole)");
  return 0;
}
