// schedulerctl's commands as one table: each entry's name, the forms of its
// arguments with the general help's line for each, what the bash completion
// offers for it, the function that runs it and its help text. The dispatch,
// every --help text and the completion are made from it, so a new command is
// one entry.
#ifndef TOOLS_CTL_COMMANDS_H_
#define TOOLS_CTL_COMMANDS_H_

#include <cstddef>
#include <string>
#include <vector>

// One way of calling a command.
struct CtlForm {
  const char* args;     // the arguments after the name, as the help shows them
  const char* summary;  // the general help's words for it (wrapped to fit)
};

struct CtlCommand {
  const char* name;    // "status", or a command and its action: "module add"
  CtlForm forms[4];    // the ways of calling it (unused ones null)
  // For the completion: the options ("--json --count=text"; "=KIND" marks an
  // option that takes a value, KIND one of id, user, interval, text), what its
  // bare words are in order (id, program, text, or a choice "{a,b}"; "..."
  // after the last one repeats it), and "OPTION: OPTIONS", the only options
  // left once OPTION is given ("" for none).
  const char* options;
  const char* operands;
  const char* narrowed;
  // Runs it with the words after the name: the tool's exit status.
  int (*run)(const char* home, int argc, char** argv);
  const char* help;  // what its --help prints after the usage lines
};

// A command with actions ("module"), and what its help says of them all.
struct CtlGroup {
  const char* name;
  const char* about;
};

// The table, in the order of the general help, and the groups.
const CtlCommand* ctlCommandTable(size_t* count);
const CtlGroup* ctlCommandGroups(size_t* count);
// The entry named `name` ("module add", "status"), or null.
const CtlCommand* ctlFindCommand(const std::string& name);
// The group named `command`, or null for a command without actions.
const CtlGroup* ctlFindGroup(const std::string& command);
// The command word of an entry ("module" of "module add"), its action ("add";
// "" for none), and the actions of a group in the table's order.
std::string ctlCommandWord(const CtlCommand& c);
std::string ctlActionWord(const CtlCommand& c);
std::vector<std::string> ctlActionsOf(const std::string& group);

// Runs the command that argv[0] (and, for a command with actions, argv[1])
// names, with the words after it. Unknown commands and actions are usage
// errors (exit status 2).
// REQUIRES: the data home has been saved (S3ComPathHomeSave).
int ctlRunCommand(const char* home, int argc, char** argv);

// True when `word` names one of schedulerctl's commands.
bool ctlIsCommand(const char* word);

// True for --help and -h.
bool ctlIsHelpFlag(const char* word);

// Prints the help (ctl_help.cpp) for a line with --help (or -h) anywhere in it: that of the
// command (and action) named before it, with or without HOME in front, else
// the general help. Returns the exit status (0).
int ctlHelp(int argc, char** argv);

// The bash completion (ctl_help.cpp): `script` with its lines "@COMMANDS@", "@ACTIONS@",
// "@VALUES@" and "@COMMAND_WORDS@" replaced by what the table says.
std::string ctlCompletion(const std::string& script);

#endif  // TOOLS_CTL_COMMANDS_H_
