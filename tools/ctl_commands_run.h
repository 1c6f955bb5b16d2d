// The functions that run schedulerctl's commands, one per entry of the
// command table (tools/ctl_commands.h). Each gets the data home and the
// words after the command's name (and action), checks every one of them
// before anything is touched, and returns the tool's exit status with its
// messages printed. Internal to the tool.
#ifndef TOOLS_CTL_COMMANDS_RUN_H_
#define TOOLS_CTL_COMMANDS_RUN_H_

int ctlCmdInit(const char* home, int argc, char** argv);
int ctlCmdModuleAdd(const char* home, int argc, char** argv);
int ctlCmdModuleList(const char* home, int argc, char** argv);
int ctlCmdModuleSet(const char* home, int argc, char** argv);
int ctlCmdModuleRemove(const char* home, int argc, char** argv);
int ctlCmdScheduleAdd(const char* home, int argc, char** argv);
int ctlCmdScheduleList(const char* home, int argc, char** argv);
int ctlCmdScheduleRemove(const char* home, int argc, char** argv);
int ctlCmdAlarmAdd(const char* home, int argc, char** argv);
int ctlCmdAlarmList(const char* home, int argc, char** argv);
int ctlCmdAlarmRemove(const char* home, int argc, char** argv);
int ctlCmdAlarmPrune(const char* home, int argc, char** argv);
int ctlCmdRun(const char* home, int argc, char** argv);
int ctlCmdStatus(const char* home, int argc, char** argv);
int ctlCmdNext(const char* home, int argc, char** argv);
int ctlCmdMetrics(const char* home, int argc, char** argv);
int ctlCmdStop(const char* home, int argc, char** argv);
int ctlCmdDoctor(const char* home, int argc, char** argv);
int ctlCmdLog(const char* home, int argc, char** argv);
int ctlCmdOutput(const char* home, int argc, char** argv);
int ctlCmdCatchUp(const char* home, int argc, char** argv);

#endif  // TOOLS_CTL_COMMANDS_RUN_H_
