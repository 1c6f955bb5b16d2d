// schedulerctl's help: the texts, and which of them a command line asks for.
#ifndef TOOLS_CTL_HELP_H_
#define TOOLS_CTL_HELP_H_

// True when `word` names one of schedulerctl's commands.
bool ctlIsCommand(const char* word);

// True for --help and -h.
bool ctlIsHelpFlag(const char* word);

// Prints the help for a line with --help (or -h) anywhere in it: that of the
// command (and action) named before it, with or without HOME in front, else
// the general help. Returns the exit status (0).
int ctlHelp(int argc, char** argv);

#endif  // TOOLS_CTL_HELP_H_
