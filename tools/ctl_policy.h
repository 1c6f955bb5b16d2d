// Modules' run policies for schedulerctl (stores/runpolicy.h): module set,
// what module list, status and next show of them, and the lock a run by
// hand takes. Internal to the tool.
#ifndef TOOLS_CTL_POLICY_H_
#define TOOLS_CTL_POLICY_H_

#include <ctime>
#include <string>

#include "stores/runpolicy.h"
#include "tools/ctl_json.h"

// The changes `module set` asks for: each is applied when its flag is set.
struct CtlPolicyChange {
  bool overlap = false;
  RunOverlap overlapTo = RunOverlap::kAllow;
  bool limit = false;
  int limitTo = 0;  // minutes; 0: none
};

// Parses "--overlap skip|allow" and "--time-limit MINUTES|none" (at least
// one). False with the reason in `why` (`whySize` bytes).
bool ctlParsePolicyArgs(int argc, char** argv, CtlPolicyChange* out, char* why, int whySize);

// module set: applies `change` to module `id`'s policy and prints the
// policy it has now. The exit status.
// REQUIRES (here and below): the data home has been saved.
int ctlModuleSet(int id, const CtlPolicyChange& change);

// The policy's two words as module list shows them: "skip"/"allow" and
// "MINUTES"/"none".
std::string ctlPolicyOverlapText(const RunPolicy& policy);
std::string ctlPolicyLimitText(const RunPolicy& policy);

// status: the modules of the table whose run holds its lock now, with pid,
// start and who started it (a heading and a line each; nothing when none);
// and the same as "running":[{"module","pid","since","by_hand"}] (left out
// when none).
void ctlPolicyStatus();
void ctlPolicyStatusJson(CtlJson* out);

// For next: true when module `id` has overlap skip and a run holds its lock,
// so that its runs are skipped while that run goes on; *pid is the run's,
// and *until the latest time its time limit lets it last (0: no limit).
bool ctlPolicySkipping(int id, int* pid, time_t* until);

// A run by hand of module `id`: takes the module's run lock when it has a
// policy. 1 with *fd to hand to the program (-1 when it has no policy or the
// lock could not be taken: the run goes on unlocked), 0 when the module's
// overlap is skip and a run holds the lock (a message is printed: the caller
// refuses), never less.
int ctlPolicyByHand(int id, int* fd);

#endif  // TOOLS_CTL_POLICY_H_
