// Fresh directories for tests, and small helpers to look at files on disk.
// These use the platform directly, not the installer's own code.

#ifndef INSTALLER_TESTS_SUPPORT_TEMP_DIR_H_
#define INSTALLER_TESTS_SUPPORT_TEMP_DIR_H_

#include <windows.h>

#include <string>
#include <vector>

// A new empty directory under the system's temporary folder, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

// Points TMP and TEMP at a fresh directory for the life of the object, so a
// test sees exactly what the code under test leaves in the temporary folder.
class ScopedTempFolder {
 public:
  ScopedTempFolder();
  ~ScopedTempFolder();
  // The folder with its trailing separator, as GetTempPathA reports it.
  std::string path() const { return dir_.path() + "\\"; }
  std::vector<std::string> Contents() const;

 private:
  TempDir dir_;
  std::string savedTmp_, savedTemp_;
};

void WriteFileBytes(const std::string& path, const std::string& bytes);
std::string ReadFileBytes(const std::string& path);
bool PathExists(const std::string& path);
DWORD Attributes(const std::string& path);
void MakeDir(const std::string& path);

// Every entry below `root`, as relative paths ("sub\\file"), sorted.
std::vector<std::string> ListTree(const std::string& root);

// Removes `path` with everything in it, whatever its attributes.
void RemoveTreeForTest(const std::string& path);

#endif  // INSTALLER_TESTS_SUPPORT_TEMP_DIR_H_
