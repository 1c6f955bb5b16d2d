// The scheduler daemon's process entry: everything lives in schedulerMain.
// A lone --version prints the version and touches nothing; every other
// command line goes to the daemon as it stands.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "scheduler/MainScheduler.h"

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("scheduler %s\n", SCHED_VERSION);
    return kSchedExitOk;
  }
  exit(schedulerMain(argc, argv));
}
