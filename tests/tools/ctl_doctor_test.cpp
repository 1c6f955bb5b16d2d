// schedulerctl doctor end to end: each kind of finding on a real data home,
// found by a check that changes nothing, then repaired or left as found.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "s3/cs3dataiofile.h"
#include "stores/cvelschedulermodule.h"
#include "tests/common/temp_dir.h"
#include "tests/scheduler/scheduler_testing.h"
#include "tests/tools/ctl_testing.h"

namespace {

// A pid that no process has: a child that has ended and been reaped.
int DeadPid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  Wait(pid);
  return pid;
}

// A writer killed in the middle of its unit of work on the saved data home:
// module 1 is rewritten and the accessor never released.
void DieInsideAUnit() {
  HoldingChild writer([] {
    static CS3DataIO io;
    static CvelSchedulerModule module;
    module.Set("Name", "half-done");
    module.Set("execute", "/bin/false");
    module.SetID(1);
    return io.Mod(module) == 0;
  });
  ASSERT_TRUE(writer.held());
}

// Module 3 added with `program` (WORK and HOME stand for those directories)
// once its script (WORK/job; HOME/job for a bare name) has `mode` and `owner`
// (0: as made); its record then gets `recordMode` (0: as made).
std::function<void(Ctl&)> Writable(const std::string& program, mode_t mode, uid_t owner = 0,
                                   mode_t recordMode = 0) {
  return [=](Ctl& ctl) {
    const std::string job = ctl.Named(program[0] == 'W' ? "WORK/job" : "HOME/job");
    WriteScript(job, "");
    chmod(job.c_str(), mode);
    ASSERT_TRUE(owner == 0 || chown(job.c_str(), owner, static_cast<gid_t>(-1)) == 0);
    ASSERT_TRUE(program != "WORK/link" || symlink(job.c_str(), ctl.Named(program).c_str()) == 0);
    Result add = ctl.Run({"module", "add", "J", ctl.Named(program)});
    EXPECT_EQ(add.status, 0);
    EXPECT_EQ(add.err.find("warning: module 3: its program") != std::string::npos, recordMode == 0)
        << add.err;
    if (recordMode != 0) chmod(ctl.Data("scheduler/module/3/info").c_str(), recordMode);
  };
}

// Each kind of finding: found by a check that changes nothing and by --json,
// then repaired, or left as found where only the owner can judge it (a
// program or record others can write keeps its mode).
TEST(SchedulerctlDoctorTest, FindsAndRepairsEachKindOfDamage) {
  const std::string kModule1 = "object 1\nName=a\nexecute=/bin/true\nend\n";
  namespace fs = std::filesystem;
  auto emptyTmp = [](Ctl& c) { EXPECT_TRUE(fs::is_empty(c.Data("tmp"))); };
  struct Case {
    const char* kind;
    const char* file;  // the file the finding names ("" when it is generated)
    bool repairable;
    // The damage: `write` (DEAD stands for a pid no process has) written
    // with `bytes`, or else `damage` run.
    const char* write;
    const char* bytes;
    std::function<void(Ctl&)> damage = nullptr;
    std::function<void(Ctl&)> check = nullptr;  // after --repair
    const char* found = nullptr;  // a regular expression the finding matches, named as Ctl::Named
    bool root = false;            // the damage needs a chown
  };
  const char kInfo3[] = "scheduler/module/3/info";
  const char kNext[] = "scheduler/controle/status";
  // clang-format off
  const Case cases[] = {
      {"interrupted-unit", "", true, nullptr, nullptr, [](Ctl&) { DieInsideAUnit(); },
       [&](Ctl& c) {
         EXPECT_EQ(ReadFile(c.Data("scheduler/module/1/info")), kModule1);
         emptyTmp(c);
       }},
      {"orphaned-backup", "", true, "tmp/tempDEAD.3", "x", nullptr, emptyTmp},
      {"stale-status", "", true, "scheduler/status.DEAD", "object 1\nend\n"},
      {"index-without-record", "scheduler/module/index", true, nullptr, nullptr,
       [](Ctl& c) { fs::remove(c.Data("scheduler/module/2/info")); },
       [](Ctl& c) {
         Result list = c.Run({"module", "list"});
         EXPECT_EQ(list.status, 0);
         EXPECT_EQ(list.out.find("\n2 "), std::string::npos) << list.out;
       }},
      {"record-without-index", "scheduler/module/7/info", false, "scheduler/module/7/info",
       "object 7\nName=x\nexecute=x\nend\n"},
      {"dangling-schedule", "scheduler/11/30/9", false, "scheduler/11/30/9",
       "object 1\n_item=1\nend\n"},
      {"dangling-alarm", "scheduler/alarm/2020/0101/10/00/9", false,
       "scheduler/alarm/2020/0101/10/00/9", "object 1\ntext=t\nend\n"},
      {"unparsable", "scheduler/module/1/info", false, "scheduler/module/1/info", "junk\n"},
      {"past-next-alarm", kNext, true, kNext, "object 1\nnexttime=20200101100000\nend\n", nullptr,
       [&](Ctl& c) { EXPECT_EQ(ReadFile(c.Data(kNext)).find("nexttime"), std::string::npos); }},
      {"writable-by-others", kInfo3, false, nullptr, nullptr, Writable("WORK/job", 0775), nullptr,
       "program WORK/job is writable by its group \\(gid "},
      {"writable-by-others", kInfo3, false, nullptr, nullptr, Writable("WORK/job", 0757), nullptr,
       "is writable by everyone \\(mode 0757\\): whoever"},
      {"writable-by-others", kInfo3, false, nullptr, nullptr, Writable("WORK/job", 0755, 4242),
       nullptr, "writable by its owner uid 4242 \\(the data home belongs to uid", true},
      {"writable-by-others", kInfo3, false, nullptr, nullptr, Writable("job", 0777), nullptr,
       "program HOME/job is writable by its group"},
      {"writable-by-others", kInfo3, false, nullptr, nullptr, Writable("WORK/link", 0766), nullptr,
       "program WORK/link \\(a link to WORK/job\\) is writable .*\\(mode 0766\\)"},
      {"writable-by-others", kInfo3, false, nullptr, nullptr, Writable("WORK/job", 0755, 0, 0646),
       nullptr, "the record is writable by everyone \\(mode 0646\\)"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " " + (c.found ? c.found : ""));
    if (c.root && getuid() != 0) continue;
    Ctl ctl;
    WriteScript(ctl.work + "/own", "");
    ctl.Setup({{"a", "/bin/true"}, {"b", ctl.work + "/own"}});
    EXPECT_EQ(ctl.Run({"doctor"}).status, 0);
    if (c.damage) c.damage(ctl);
    if (c.write != nullptr) {
      std::string file = std::regex_replace(c.write, std::regex("DEAD"), std::to_string(DeadPid()));
      PutFile(ctl.Data(file), c.bytes);
    }
    const auto damaged = Snapshot(ctl.home);

    Result found = ctl.Run({"doctor"});
    EXPECT_EQ(found.status, 1);
    const std::string head = std::string(c.kind) + " " + c.file;
    EXPECT_EQ(found.out.rfind(head, 0), 0u) << found.out;
    EXPECT_EQ(Snapshot(ctl.home), damaged) << "a plain check changes nothing";

    Result json = ctl.Run({"doctor", "--json"});
    EXPECT_NE(json.out.find(std::string("\"kind\":\"") + c.kind + "\""), std::string::npos);
    EXPECT_NE(json.out.find("\"clean\":false"), std::string::npos);

    Result repaired = ctl.Run({"doctor", "--repair"});
    EXPECT_EQ(repaired.status, c.repairable ? 0 : 1) << repaired.out;
    const std::string line = std::string(c.repairable ? "\nrepaired " : "\nleft ") + head;
    EXPECT_NE(("\n" + repaired.out).find(line), std::string::npos) << repaired.out;
    for (const Result* r : {&found, &repaired}) {
      EXPECT_TRUE(!c.found || std::regex_search(r->out, std::regex(ctl.Named(c.found)))) << r->out;
    }
    if (c.check) c.check(ctl);
    Result again = ctl.Run({"doctor"});
    if (c.repairable) {
      EXPECT_EQ(again.status, 0) << again.out;
    } else {
      EXPECT_EQ(again.out.rfind(head, 0), 0u) << "left as found: " << again.out;
      EXPECT_TRUE(c.file[0] == '\0' || fs::exists(ctl.Data(c.file)));
    }
  }
}

}  // namespace
