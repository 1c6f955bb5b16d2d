// schedulerctl: the operator's tool for a scheduler data home. It answers
// --version and --help, checks the data home's text, saves it, and hands the
// command line to the command table (tools/ctl_commands.h), which runs the
// command it names.
#include <cstdio>
#include <cstring>

#include "common/S3ComPath.h"
#include "tools/ctl_args.h"
#include "tools/ctl_commands.h"
#include "tools/ctl_report.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--version") == 0) {
      printf("schedulerctl %s\n", SCHED_VERSION);
      return kCtlExitOk;
    }
  }
  for (int i = 1; i < argc; ++i) {
    if (ctlIsHelpFlag(argv[i])) return ctlHelp(argc, argv);
  }
  if (argc < 3) {
    if (argc == 2 && ctlIsCommand(argv[1])) {
      return ctlUsageError("the data home comes first: schedulerctl HOME %s ...", argv[1]);
    }
    return ctlUsageError("missing %s", argc < 2 ? "HOME and COMMAND" : "COMMAND");
  }
  const char* home = argv[1];
  char why[kCtlWhySize];
  if (!ctlCheckHome(home, why, kCtlWhySize)) return ctlUsageError("%s", why);
  S3ComPathHomeSave(home);
  return ctlRunCommand(home, argc - 2, argv + 2);
}
