#include "install/launch.h"

// The second stage is not launched yet: it arrives with the cabinet
// extraction that delivers it. Until then nothing is started.
int LaunchSecondStage(const char* workDir) {
  (void)workDir;
  return -1;
}

int RunProcessAndWait(const char* directory, const char* command, bool visible) {
  (void)directory;
  (void)command;
  (void)visible;
  return -1;
}
