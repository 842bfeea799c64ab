#include "tests/support/test_args.h"

std::string WindowsPath(const std::string& path) {
  if (path.empty() || path[0] != '/')
    return path;
  std::string result = "Z:" + path;
  for (char& c : result) {
    if (c == '/')
      c = '\\';
  }
  return result;
}
