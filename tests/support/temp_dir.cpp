#include "tests/support/temp_dir.h"

#include <algorithm>

#include <gtest/gtest.h>

TempDir::TempDir() {
  char temp[MAX_PATH];
  char name[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  // Test programs run side by side in one prefix: another one may take the
  // name between the placeholder's removal and the mkdir, so draw again then.
  bool made = false;
  for (int round = 0; round < 100 && !made; ++round) {
    if (GetTempFileNameA(temp, "tst", 0, name) == 0)
      break;
    DeleteFileA(name);
    made = CreateDirectoryA(name, NULL) != FALSE;
  }
  EXPECT_TRUE(made) << temp << " error " << GetLastError();
  path_ = name;
}

TempDir::~TempDir() {
  RemoveTreeForTest(path_);
}

static std::string GetEnv(const char* name) {
  char value[32768];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof(value));
  return length > 0 && length < sizeof(value) ? std::string(value, length) : std::string();
}

ScopedTempFolder::ScopedTempFolder() : savedTmp_(GetEnv("TMP")), savedTemp_(GetEnv("TEMP")) {
  SetEnvironmentVariableA("TMP", dir_.path().c_str());
  SetEnvironmentVariableA("TEMP", dir_.path().c_str());
}

ScopedTempFolder::~ScopedTempFolder() {
  SetEnvironmentVariableA("TMP", savedTmp_.empty() ? NULL : savedTmp_.c_str());
  SetEnvironmentVariableA("TEMP", savedTemp_.empty() ? NULL : savedTemp_.c_str());
}

std::vector<std::string> ScopedTempFolder::Contents() const {
  return ListTree(dir_.path());
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path << " error " << GetLastError();
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL));
  EXPECT_EQ(written, bytes.size());
  CloseHandle(file);
}

std::string ReadFileBytes(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot open " << path << " error " << GetLastError();
    return std::string();
  }
  std::string bytes(GetFileSize(file, NULL), '\0');
  DWORD read = 0;
  if (!bytes.empty())
    ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, NULL);
  CloseHandle(file);
  bytes.resize(read);
  return bytes;
}

bool PathExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

DWORD Attributes(const std::string& path) {
  return GetFileAttributesA(path.c_str());
}

void MakeDir(const std::string& path) {
  EXPECT_TRUE(CreateDirectoryA(path.c_str(), NULL)) << path << " error " << GetLastError();
}

static void ListInto(const std::string& root, const std::string& prefix,
                     std::vector<std::string>* out) {
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA((root + "\\*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE)
    return;
  do {
    const std::string name = data.cFileName;
    if (name == "." || name == "..")
      continue;
    out->push_back(prefix + name);
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
      ListInto(root + "\\" + name, prefix + name + "\\", out);
  } while (FindNextFileA(search, &data));
  FindClose(search);
}

std::vector<std::string> ListTree(const std::string& root) {
  std::vector<std::string> entries;
  ListInto(root, "", &entries);
  std::sort(entries.begin(), entries.end());
  return entries;
}

void RemoveTreeForTest(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return;
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileA(path.c_str());
    return;
  }
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((path + "\\*").c_str(), &data);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::string name = data.cFileName;
        if (name != "." && name != "..")
          RemoveTreeForTest(path + "\\" + name);
      } while (FindNextFileA(search, &data));
      FindClose(search);
    }
  }
  RemoveDirectoryA(path.c_str());
}
