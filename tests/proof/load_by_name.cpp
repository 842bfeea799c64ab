// The control for the planting test: loads each library named on the command
// line by its bare name, as a program that does not restrict the search
// would, so the test can show that a planted copy is picked up when nothing
// prevents it. Exits with the number of names that did not load.

#include <windows.h>

#include <string.h>

int main(int argc, char** argv) {
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    if (LoadLibraryA(argv[i]) == NULL)
      ++failed;
  }
  return failed;
}
