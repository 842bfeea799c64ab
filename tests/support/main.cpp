// Test entry: GoogleTest, plus the run's state made fresh before every test
// and a check after every test that the platform table came back intact,
// and the non-GoogleTest arguments for tests that need paths (the built
// installers).

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/platform_guard.h"
#include "tests/support/test_args.h"
#include "ui/messages.h"
#include "ui/progress.h"

std::vector<std::string> TestArguments;

bool PlatformIsReal() {
  return memcmp(&Platform, &PlatformReal(), sizeof(PlatformTable)) == 0;
}

namespace {

class PlatformRestoredCheck : public testing::EmptyTestEventListener {
  // Every test starts as a fresh process would: the dialog not hidden, no
  // stop asked for.
  void OnTestStart(const testing::TestInfo&) override {
    InstallerWindowHidden = false;
    StopRequested = false;
  }
  void OnTestEnd(const testing::TestInfo&) override {
    if (!PlatformIsReal()) {
      ADD_FAILURE() << "a test left a replaced entry in the platform table";
      Platform = PlatformReal();
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  // An entry left out of the real table would be a null call somewhere in
  // a run: no test program runs with one.
  if (!PlatformIsComplete(PlatformReal())) {
    fprintf(stderr, "the platform table has an empty entry\n");
    return 1;
  }
  testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i)
    TestArguments.push_back(argv[i]);
  testing::UnitTest::GetInstance()->listeners().Append(new PlatformRestoredCheck);
  return RUN_ALL_TESTS();
}
