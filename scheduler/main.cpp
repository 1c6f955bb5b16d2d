// The scheduler daemon's process entry: everything lives in schedulerMain.
#include <cstdlib>

#include "scheduler/MainScheduler.h"

int main(int argc, char** argv) {
  exit(schedulerMain(argc, argv));
}
