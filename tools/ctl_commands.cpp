// The command table of schedulerctl, its lookups and the dispatch. The help
// texts and the completion made from it are in ctl_help.cpp.
#include "tools/ctl_commands.h"

#include <cstring>
#include <string>
#include <vector>

#include "tools/ctl_commands_run.h"
#include "tools/ctl_report.h"

namespace {

constexpr CtlCommand kCommands[] = {
    {"init",
     {
      {"[--owner USER]",
       "create the directories and an empty module table"},
     },
     "--owner=user",
     "",
     "",
     ctlCmdInit,
     "Creates HOME and its directories (data, data/tmp, data/scheduler/module) and an\n"
     "empty module table, so that the daemon can start on HOME; a new HOME keeps its\n"
     "modules' output (see 'output --help'). A module table that is already there is\n"
     "left as it is, and so is a choice of output made before. Run by root on a HOME\n"
     "that belongs to another user, init acts as that user, as every command does,\n"
     "so that what it creates is the owner's; a missing HOME it creates is root's.\n"
     "\n"
     "--owner USER (a user name or uid) makes a data home for USER in one step: a\n"
     "missing HOME (and any missing directory above it, which stays root's) is\n"
     "created and given to USER and USER's primary group, and so is an empty HOME\n"
     "that belongs to root; a HOME that belongs to USER is taken as it is. init then\n"
     "acts as USER. Any other HOME (one of root's that holds files, or one of\n"
     "another user) is refused with exit status 1: hand it over with chown -R\n"
     "first. Only root may name another user than itself (else exit status 2).\n"},
    {"module add",
     {
      {"NAME PROGRAM",
       "register a module; prints its ID"},
     },
     "",
     "text program",
     "",
     ctlCmdModuleAdd,
     "Registers a module at the end of the module table and prints its new ID.\n"
     "NAME is a display name (at most 255 characters). PROGRAM is what the daemon\n"
     "runs: a bare file name is looked for as ./PROGRAM in the daemon's working\n"
     "directory first and then as HOME/PROGRAM (a module whose program is found in\n"
     "neither place is skipped); a path containing '/' is run as it is. The daemon\n"
     "starts the program with four arguments: its path, HOME, the hour HH and the\n"
     "minute MM. Warns on standard error, and still adds, when a user other than\n"
     "HOME's owner or root, the group or everyone can write the program, a folder\n"
     "on the way to it (links followed, up to /), the module's record or a folder\n"
     "on the way to the record from HOME (see 'doctor --help').\n"},
    {"module list",
     {
      {"[--json]",
       "list the modules and what each one runs"},
     },
     "--json",
     "",
     "",
     ctlCmdModuleList,
     "Lists the modules in the order the daemon visits them: ID, name, program, and\n"
     "the file the daemon would run for it now (resolved as the daemon does, with\n"
     "the current directory standing for the daemon's working directory). --json\n"
     "prints one JSON document instead: {\"modules\":[{\"id\",\"name\",\"program\",\n"
     "\"runs\",\"note\",\"overlap\",\"time_limit\"}]}, null where the text shows '-'\n"
     "or no note; OVERLAP and LIMIT are the run policy (see 'module set --help'),\n"
     "time_limit in minutes or null for none.\n"},
    {"module set",
     {
      {"ID [--overlap skip|allow] [--time-limit MINUTES|none]",
       "choose whether a module may run twice at\n"
       "once, and how long a run may take"},
     },
     "--overlap=text --time-limit=text",
     "id",
     "",
     ctlCmdModuleSet,
     "Sets module ID's run policy, kept in data/scheduler/module/ID/policy; the\n"
     "daemon reads it each time the module is due. --overlap skip: when the module\n"
     "is due while a run of it still goes on (started by this daemon, an earlier\n"
     "one, or 'run'), it is not started; the run journal gets a skipped line.\n"
     "--overlap allow (the default) starts it again, as every module always was.\n"
     "--time-limit MINUTES (1 to 10080): a run the daemon started that still goes\n"
     "on after MINUTES gets SIGTERM, sent to its process group (such a run is\n"
     "started in a group of its own), and SIGKILL 30 seconds later if it is still\n"
     "there; the journal gets a timeout line for each. The daemon wakes for that\n"
     "deadline, to the second. none (the default) lets it run. A module with a\n"
     "policy holds the lock data/scheduler/module/ID/run.lock (its descriptor 3)\n"
     "while its program, or whatever keeps that descriptor, lives. Both back at\n"
     "their defaults, the file is removed. Prints the policy the module has now.\n"},
    {"module remove",
     {
      {"ID",
       "remove a module, its schedule entries and\n"
       "its alarms"},
     },
     "",
     "id",
     "",
     ctlCmdModuleRemove,
     "Removes module ID from the module table, deletes its directory, all its\n"
     "schedule entries and all its alarms (past ones too), as one change: if any\n"
     "step fails, nothing is removed. Prints how many schedule entries and alarms\n"
     "went.\n"},
    {"schedule add",
     {
      {"ID HH:MM [HH:MM ...]",
       "run a module every day at these times"},
     },
     "",
     "id text...",
     "",
     ctlCmdScheduleAdd,
     "Makes module ID due every day at each given time (00:00 to 23:59). The\n"
     "daemon starts a due module at the first wake-up that falls on that minute,\n"
     "so a time should lie on the daemon's interval (with interval 15: :00, :15,\n"
     "...). Times that are already scheduled stay as they are. When a daemon is\n"
     "running, a time its ticks never reach is still added, with a warning on\n"
     "standard error.\n"},
    {"schedule list",
     {
      {"[ID] [--json]",
       "list each module's times of the day"},
     },
     "--json",
     "id",
     "",
     ctlCmdScheduleList,
     "Lists the times of the day of every module (only of module ID when given),\n"
     "sorted. --json prints one JSON document instead: {\"schedule\":[{\"id\",\n"
     "\"name\",\"times\":[\"HH:MM\",...],\"in_table\"}]}; in_table is false for\n"
     "entries of a module the table does not list (the daemon never runs them).\n"},
    {"schedule remove",
     {
      {"ID HH:MM [HH:MM ...]",
       "stop running a module at these times"},
     },
     "",
     "id text...",
     "",
     ctlCmdScheduleRemove,
     "Removes the schedule entries of module ID at the given times, so that the\n"
     "module is no longer due then. Each time must be scheduled; if one is not,\n"
     "nothing is removed.\n"},
    {"alarm add",
     {
      {"ID 'YYYY-MM-DD HH:MM' [TEXT]",
       "run a module once at that minute"},
     },
     "",
     "id text...",
     "",
     ctlCmdAlarmAdd,
     "Files an alarm for module ID at that date and minute (the date and the time\n"
     "may also be given as two arguments): the daemon runs the module at that\n"
     "minute, waking early for it if it has to. TEXT (at most 255 characters) is\n"
     "stored in the alarm for the module to read. When the alarm is earlier than\n"
     "the daemon's next wake-up, the next-alarm record is lowered and the running\n"
     "daemon is sent SIGUSR1 so that it re-plans its sleep (only a process that\n"
     "holds the lock of its own status file scheduler/status.PID is taken for the\n"
     "daemon and signalled). The alarm must not lie before the current minute.\n"},
    {"alarm list",
     {
      {"[ID] [--all] [--json]",
       "list the pending alarms (--all: past ones)"},
     },
     "--all --json",
     "id",
     "",
     ctlCmdAlarmList,
     "Lists the pending alarms (today from the current minute on, and later days),\n"
     "only module ID's when given, sorted by time: the minute, the module ID, its\n"
     "name (or that the module table does not list it: the daemon never runs it)\n"
     "and the alarm's text. --all adds the past ones. An empty alarm file is no\n"
     "alarm to the daemon and is not listed. --json prints one JSON document\n"
     "instead: {\"alarms\":[{\"time\",\"module\",\"name\",\"in_table\",\"texts\":[...],\n"
     "\"past\"}]}, name null when the module has no record.\n"},
    {"alarm remove",
     {
      {"ID 'YYYY-MM-DD HH:MM'",
       "remove an alarm"},
     },
     "",
     "id text...",
     "",
     ctlCmdAlarmRemove,
     "Removes the alarm of module ID at that minute (the date and the time may also\n"
     "be given as two arguments), and the directories it leaves empty, as one\n"
     "change; also the alarm of a module that is no longer in the table. Fails\n"
     "(exit 1) when there is no such alarm. When the alarm was the daemon's next\n"
     "wake-up nothing else is needed: the daemon wakes then, finds nothing due and\n"
     "goes on.\n"},
    {"alarm prune",
     {
      {"--before 'YYYY-MM-DD'",
       "remove the alarms of earlier days"},
     },
     "--before=text",
     "",
     "",
     ctlCmdAlarmPrune,
     "Removes every alarm of the days before that date, of any module, with the\n"
     "directories they leave empty, as one change, and prints how many. The daemon\n"
     "never looks back, so past alarms only fill the disk. A date after today is\n"
     "refused; --before today keeps today's alarms.\n"},
    {"run",
     {
      {"ID",
       "start a module now, as the daemon would,\n"
       "with its output here; wait for it"},
     },
     "",
     "id",
     "",
     ctlCmdRun,
     "Starts module ID now, as the daemon would start it at this minute: the program\n"
     "resolved as the daemon does (the current directory standing for the daemon's\n"
     "working directory), the arguments PROGRAM HOME HH MM with the current hour and\n"
     "minute, standard input from /dev/null; but its output and errors go where\n"
     "schedulerctl's go. Waits for it and exits with its exit status, or 128+N when\n"
     "signal N ended it (Ctrl-C reaches the module; schedulerctl waits on). Refuses\n"
     "(exit 1, nothing started) a module that is not in the table or whose program\n"
     "is not found or not executable. With the run journal on, the run and its end\n"
     "are journalled like the daemon's, marked by-hand (see 'log --help').\n"},
    {"status",
     {
      {"[--json]",
       "is the daemon running, its last result,\n"
       "its next wake-up"},
     },
     "--json",
     "",
     "",
     ctlCmdStatus,
     "Shows the daemon named in the status record and whether it is alive (it holds\n"
     "the lock on its per-process status file), the result code with which the last\n"
     "daemon stopped and what it means, and the next wake-up the daemon planned.\n"
     "--json prints one JSON document instead: {\"home\",\"daemon\":{\"pid\",\n"
     "\"running\",\"state\"},\"last_result\":{\"code\",\"meaning\"},\"next_wakeup\"}\n"
     "with null for what is not known; state is one of running, stopped, killed,\n"
     "never-ran, handed-over (the status record names no process; running tells\n"
     "whether the daemon it was taken from still runs until its next wake-up).\n"
     "Then where modules' output goes (see 'output --help') and, for each module\n"
     "whose last kept run failed, that run and the last three lines of its output\n"
     "(in JSON: \"output\":{\"mode\",\"failed\":[{\"module\",\"path\",\"due\",\n"
     "\"start\",\"end\",\"result\",\"tail\"}]}).\n"
     "With the run journal on (see 'log --help'), also each module's last run and\n"
     "its result: status N, signal N, or running. A line 'missed:' counts the runs\n"
     "missed while no daemon ran (see 'log --help', --missed) and says whether\n"
     "catch-up is on (in JSON: \"missed\":{\"runs\",\"from\",\"to\",\"late\",\n"
     "\"catch_up\",\"limit_hours\"}).\n"
     "Last, the modules with a run policy whose run goes on now (it holds the run\n"
     "lock): module, pid, since when, and whether the daemon or 'run' started it\n"
     "(in JSON: \"running\":[{\"module\",\"pid\",\"since\",\"by_hand\"}], left\n"
     "out when none).\n"},
    {"next",
     {
      {"[--count N] [--until 'YYYY-MM-DD HH:MM'] [--interval MINUTES] [--json]",
       "list the coming runs, and the entries\n"
       "the daemon's ticks never reach"},
     },
     "--count=text --until=text --interval=interval --json",
     "",
     "",
     ctlCmdNext,
     "Lists the coming runs in time order, one per line: the minute, the module ID,\n"
     "its name and why it runs (schedule or alarm). The daemon's wake-ups are worked\n"
     "out with its own rules for the running daemon's interval, or for MINUTES when\n"
     "given (without either, next refuses with exit status 2). The first wake-up is\n"
     "the running daemon's planned one (as status shows it); with --interval, the\n"
     "tick a daemon started now takes (for an hour or more: the next full hour).\n"
     "Later ones are the ticks of the interval, and earlier ones for a pending alarm\n"
     "of the day. At a wake-up, every module of the table whose schedule entry is at\n"
     "that minute, or that has an alarm for that date and minute, runs. At most N\n"
     "runs (default 20) up to the --until minute (default: 7 days ahead; at most\n"
     "366 days ahead, a later one is refused with exit status 2). Then,\n"
     "under a heading, the schedule entries the ticks never reach, with the reason.\n"
     "On a spring-forward day the run of a minute that does not exist is listed at\n"
     "the time it happens, as '(late, due HH:MM)' (\"due\" in JSON). A run of a\n"
     "module whose overlap is skip while a run of it goes on now is marked\n"
     "'(skipped if run PID goes on)' (\"skipped_if_running\":PID in JSON), up to\n"
     "the end its time limit sets.\n"
     "--json prints one JSON document {\"runs\":[...],\"never\":[...]} instead.\n"},
    {"metrics",
     {
      {"",
       "the daemon's state and the table sizes as\n"
       "metrics for a textfile collector"},
     },
     "",
     "",
     "",
     ctlCmdMetrics,
     "Prints the home's state in the text exposition format of a metrics collector\n"
     "(for a node exporter's textfile collector): scheduler_daemon_up (0 or 1),\n"
     "scheduler_next_wakeup_timestamp_seconds (Unix time; left out when unknown),\n"
     "scheduler_modules and scheduler_schedule_entries, each with its # HELP and\n"
     "# TYPE lines. Changes nothing; when a record cannot be read it prints nothing\n"
     "on standard output and exits 1, so\n"
     "  schedulerctl HOME metrics > F.$$ && mv F.$$ F\n"
     "never leaves a partial file.\n"},
    {"stop",
     {
      {"[--wait] [--timeout SECONDS]",
       "stop the daemon through its orderly shut-down"},
     },
     "--wait --timeout=text",
     "",
     "",
     ctlCmdStop,
     "Stops the daemon through its own orderly shut-down: hands the status record to\n"
     "no process, then lowers the next-alarm record to the current minute and sends\n"
     "SIGUSR1, about once a second, until the daemon has let go of its lock. A\n"
     "daemon is a process that holds the lock of its own status file\n"
     "scheduler/status.PID; no other process is ever signalled. Without --wait it\n"
     "returns after a few seconds at most (the daemon then ends at its next\n"
     "wake-up at the latest). With --wait it returns once the daemon's final status\n"
     "is written, and fails (exit 1) when that takes longer than SECONDS (default 30).\n"
     "When no daemon runs, nothing is changed.\n"},
    {"doctor",
     {
      {"[--repair] [--json]",
       "check the home after a crash; --repair\n"
       "rolls back interrupted changes"},
      {"--discard LOG",
       "remove a damaged unit log, once decided"},
     },
     "--repair --json --discard=text",
     "",
     "",
     ctlCmdDoctor,
     "Checks the data home for what a crashed or killed program can leave behind and\n"
     "prints one line per finding: a kind word, the file (relative to HOME/data;\n"
     "HOME, HOME/data and HOME's own entries by their whole path) and what is\n"
     "wrong. Kinds: interrupted-unit, damaged-log (a dead unit's log that holds what\n"
     "no crash leaves behind, with the files its entries that verify name; never\n"
     "played back), orphaned-backup, stale-status, index-without-record,\n"
     "record-without-index, dangling-schedule, dangling-alarm, unparsable,\n"
     "past-next-alarm, writable-by-others (a module record, its program or a folder\n"
     "on the way to it, or HOME, data, data/tmp or a folder under data/scheduler,\n"
     "that a user other than HOME's owner or root, the group or everyone can write;\n"
     "the group and everyone do not count on a sticky folder but data/tmp; never\n"
     "changed), link (a symbolic link under data or among HOME's own entries, with\n"
     "its target; a module's program named by a bare file name may be one; never\n"
     "followed or removed). Without --repair nothing is changed, data/tmp included.\n"
     "\n"
     "--repair first rolls back every interrupted unit of work (files put back byte\n"
     "for byte, files it created removed) and removes finished logs, then drops\n"
     "module index entries without a record (with the module's schedule entries\n"
     "and alarms), removes orphaned backups and stale status files and clears a\n"
     "past next-alarm time; each change is a line 'repaired KIND FILE: ...'. It\n"
     "checks again until a round repairs nothing, so that it exits 0 only when a\n"
     "doctor right after it finds nothing. It never deletes a record file that\n"
     "parses (but those of a module it dropped) and never touches a file a live\n"
     "process holds; what it cannot decide is listed as 'left KIND FILE: ...'.\n"
     "--json prints one JSON document instead.\n"
     "\n"
     "--discard LOG (tmp/journal<pid>.<n>, as the damaged-log finding names it) is\n"
     "the decision on a damaged log, once you have read the files it names and the\n"
     "backup copies tmp/temp<pid>.* and put back by hand what must come back: the\n"
     "log is removed and nothing of it is played back. Until then every program\n"
     "that reads or writes a file it names fails with result -115.\n"
     "\n"
     "Exit status: 0 clean (or everything repaired, or the log discarded), 1\n"
     "something found and left (or the log held or not damaged), 2 bad arguments.\n"},
    {"log",
     {
      {"[--module ID] [--since 'YYYY-MM-DD HH:MM'] [--follow] [--json]",
       "print the run journal"},
      {"--enable | --disable",
       "turn the run journal on or off"},
      {"--output ID [--run N] [--json]",
       "print the kept output of a module's last\n"
       "run (--run N: the N-th last)"},
      {"--missed [--since 'YYYY-MM-DD HH:MM'] [--json]",
       "list the runs missed while no daemon ran"},
     },
     "--module=id --since=text --follow --json --enable --disable --output=id --missed",
     "",
     "--output: --run=text --json",
     ctlCmdLog,
     "The run journal, HOME/data/scheduler/runs.log, is a line per event of the\n"
     "daemon: started, stopped, taken-over, run (a module started), exit (how it\n"
     "ended: status N or signal N, and its run time in seconds) and clock-jump (a\n"
     "wake-up more than a minute late: from, to). It is off unless\n"
     "the file exists: --enable creates it empty, --disable removes it and its\n"
     "rotated predecessor runs.log.1 (a journal of 1 MiB is renamed to runs.log.1\n"
     "before the daemon writes on). A module started with 'run' gets run and exit\n"
     "lines too, with the last field by-hand (\"started\":\"by-hand\" in JSON);\n"
     "status and metrics count only the daemon's runs, and metrics those by hand\n"
     "as scheduler_module_by_hand_runs_total.\n"
     "\n"
     "Without --enable or --disable, prints runs.log.1 and runs.log: with --module\n"
     "only the run and exit lines of module ID, with --since only lines of that\n"
     "minute or later. --follow goes on printing new lines until the journal is\n"
     "turned off; --json prints each line as a JSON object with named fields.\n"
     "When the journal is off, log says so and exits with status 1. On a home that\n"
     "keeps its modules' output, a run whose output file could not be made gets\n"
     "the line output-lost (pid, module, why): its output went to /dev/null.\n"
     "\n"
     "--output ID prints the kept output of module ID's last run (--run N: of the\n"
     "N-th last), after a line naming the run: its due minute, start, end and exit\n"
     "status; --json instead names every kept run of the module (path, due, start,\n"
     "end, result), oldest first. It needs no journal; it fails (exit 1) when the\n"
     "module has no such kept run.\n"
     "\n"
     "--missed [--since 'YYYY-MM-DD HH:MM'] [--json] lists the runs that the schedule\n"
     "and the alarms made due while no daemon ran (with --since, those due then or\n"
     "later): with a daemon running, from the last pass of the one before it to its\n"
     "start; with none, from the last pass to now. The daemon keeps its last pass in\n"
     "HOME/data/scheduler/lastpass; the runs are worked out as 'next' works out the\n"
     "coming ones, for the interval of the daemon that passed, against the schedule\n"
     "and alarms as they are now. It needs no journal; with it on, the entries a\n"
     "late wake-up skipped (each clock-jump line) follow under a heading of their\n"
     "own. --json: {\"from\",\"to\",\"ongoing\",\"interval\",\"runs\":[{\"time\",\n"
     "\"module\",\"name\",\"why\"}],\"late\":[{\"from\",\"to\",\"runs\":[...]}]}.\n"},
    {"catchup",
     {
      {"[on|off] [--limit HOURS]",
       "whether a daemon started after a gap\n"
       "runs what it missed: show or choose"},
     },
     "--limit=text",
     "{on,off}",
     "",
     ctlCmdCatchUp,
     "Shows, or chooses, what a daemon that starts after a gap (the host down, the\n"
     "service stopped, a daemon ended on a failure) does with the runs missed in it\n"
     "(see 'log --help', --missed); the choice is HOME/data/scheduler/catchup and\n"
     "holds from the next start on. off (a home without the file): nothing missed\n"
     "runs. on: at its start, before its first wake-up, the daemon runs each module\n"
     "that missed a schedule entry once, due at the last minute it missed (its\n"
     "arguments HH MM are that minute's), and each missed alarm once, in time order;\n"
     "the run journal's run lines of these end in catch-up. A gap longer than the\n"
     "limit (--limit HOURS, 1 to 8784; default 24) runs nothing, and the journal\n"
     "says so with a catch-up-skipped line (from, to, the limit).\n"},
    {"output",
     {
      {"[keep|journal|console]",
       "where modules' output goes: show or choose"},
     },
     "",
     "{keep,journal,console}",
     "",
     ctlCmdOutput,
     "Shows, or chooses, where the standard output and error of the modules the\n"
     "daemon starts go; the choice is HOME/data/scheduler/output-mode and holds from\n"
     "the daemon's next wake-up on:\n"
     "  keep     into a file of each run, HOME/data/scheduler/output/ID/START.due-HHMM\n"
     "           (once it ended .end-END.status-N or .signal-N; times in UTC), opened\n"
     "           before the module starts; the last 10 runs of each module are kept,\n"
     "           and of each run its last 256 kB, cut at a line start after the run\n"
     "           ended behind a line saying how much was cut. 'log --output ID' and\n"
     "           status show them. A new home made by init keeps.\n"
     "  journal  to the daemon's own standard error: under systemd the unit's journal\n"
     "           (journalctl -u 'scheduler@...'), on FreeBSD daemon(8)'s output.\n"
     "  console  to /dev/console, which a service cannot reach: lost. A home without\n"
     "           the file behaves so.\n"
     "Kept runs stay when another choice is made.\n"},
};

// The commands with actions, and what their group's help says.
constexpr CtlGroup kGroups[] = {
    {"module",
     "Maintains the module table: the programs the daemon may start. See\n"
     "'schedulerctl HOME module add --help' and the others.\n"},
    {"schedule",
     "Maintains the schedule table: the times of the day at which each module runs.\n"},
    {"alarm",
     "Maintains the alarms: one-off runs of a module at a given minute, filed as\n"
     "HOME/data/scheduler/alarm/YYYY/MMDD/HH/MM/ID.\n"},
};

// The actions of a group, as "add, list or remove".
std::string Actions(const std::string& group) {
  const std::vector<std::string> names = ctlActionsOf(group);
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    out += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
  }
  return out;
}

}  // namespace

const CtlCommand* ctlCommandTable(size_t* count) {
  *count = sizeof(kCommands) / sizeof(kCommands[0]);
  return kCommands;
}

const CtlGroup* ctlCommandGroups(size_t* count) {
  *count = sizeof(kGroups) / sizeof(kGroups[0]);
  return kGroups;
}

std::string ctlCommandWord(const CtlCommand& c) {
  const char* space = strchr(c.name, ' ');
  return space != nullptr ? std::string(c.name, static_cast<size_t>(space - c.name)) : c.name;
}

std::string ctlActionWord(const CtlCommand& c) {
  const char* space = strchr(c.name, ' ');
  return space != nullptr ? space + 1 : "";
}

std::vector<std::string> ctlActionsOf(const std::string& group) {
  std::vector<std::string> names;
  for (const CtlCommand& c : kCommands) {
    if (ctlCommandWord(c) == group) names.push_back(ctlActionWord(c));
  }
  return names;
}

const CtlGroup* ctlFindGroup(const std::string& command) {
  for (const CtlGroup& g : kGroups) {
    if (command == g.name) return &g;
  }
  return nullptr;
}

const CtlCommand* ctlFindCommand(const std::string& name) {
  for (const CtlCommand& c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

int ctlRunCommand(const char* home, int argc, char** argv) {
  const std::string command = argc > 0 ? argv[0] : "";
  if (!ctlIsCommand(command.c_str())) return ctlUsageError("unknown command '%s'", command.c_str());
  std::string name = command;
  int used = 1;
  if (ctlFindGroup(command) != nullptr) {
    ctlSetHelpTopic(command.c_str());
    if (argc < 2 || ctlFindCommand(command + " " + argv[1]) == nullptr) {
      return ctlUsageError("%s needs %s", command.c_str(), Actions(command).c_str());
    }
    name += std::string(" ") + argv[1];
    used = 2;
  }
  const CtlCommand* c = ctlFindCommand(name);
  ctlSetHelpTopic(c->name);
  return c->run(home, argc - used, argv + used);
}

bool ctlIsCommand(const char* word) {
  for (const CtlCommand& c : kCommands) {
    if (ctlCommandWord(c) == word) return true;
  }
  return false;
}

