#ifndef INSTALLER_TESTS_SUPPORT_TEST_ARGS_H_
#define INSTALLER_TESTS_SUPPORT_TEST_ARGS_H_

#include <string>
#include <vector>

// Command-line arguments left after GoogleTest took its own.
extern std::vector<std::string> TestArguments;

// A Unix path as a Windows path on Wine's Z: drive; other paths unchanged.
std::string WindowsPath(const std::string& path);

#endif  // INSTALLER_TESTS_SUPPORT_TEST_ARGS_H_
