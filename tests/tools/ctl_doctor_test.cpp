// schedulerctl doctor end to end: each kind of finding on a real data home,
// found by a check that changes nothing, then repaired or left as found.
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "common/comguard.h"
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

// Gives `path` (WORK and HOME stand for those directories, as in all that
// follows) `mode` and, with `owner`, that owner; then adds module 3 running
// `program`, for which `module add` warns exactly when `warned` (a regular
// expression). WORK/bin holds a script job and a link to /bin/true.
std::function<void(Ctl&)> Folder(const std::string& path, mode_t mode, const char* warned,
                                 const std::string& program = "WORK/own", uid_t owner = 0) {
  return [=](Ctl& ctl) {
    const std::string dir = ctl.Named(path);
    ASSERT_EQ(chmod(dir.c_str(), mode), 0) << dir;
    ASSERT_TRUE(owner == 0 || chown(dir.c_str(), owner, static_cast<gid_t>(-1)) == 0);
    Result add = ctl.Run({"module", "add", "J", ctl.Named(program)});
    EXPECT_EQ(add.status, 0);
    EXPECT_EQ(add.err.empty(), warned == nullptr) << add.err;
    EXPECT_TRUE(!warned || std::regex_search(add.err, std::regex(ctl.Named(warned)))) << add.err;
  };
}

// Moves `target` (below HOME/data) to WORK/victim and puts a link to it in
// its place, as the home's owner could.
std::function<void(Ctl&)> Linked(const std::string& target) {
  return [=](Ctl& ctl) {
    std::filesystem::rename(ctl.Data(target), ctl.work + "/victim");
    std::filesystem::create_symlink(ctl.work + "/victim", ctl.Data(target));
  };
}

// Runs `body` in a mount namespace of this process's own whose "/" is a
// fresh folder (root's, mode 0755) holding the machine's own entries, bound
// in place: a test may then change the mode of "/" without touching the
// machine's. False, `body` not run, where that cannot be done (not root, no
// mount namespaces).
bool inOwnRoot = false;
bool InOwnRoot(const std::function<void()>& body) {
  namespace fs = std::filesystem;
  char top[] = "/tmp/sched-root-XXXXXX";  // removed with rmdir only: binds lie below it
  char cwd[PATH_MAX];
  ComFd ns(open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC));
  if (getuid() != 0 || !ns.ok() || !getcwd(cwd, sizeof cwd) || !mkdtemp(top)) return false;
  struct stat fresh, now;
  bool in = unshare(CLONE_NEWNS) == 0 &&
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mount("none", top, "tmpfs", 0, "mode=0755") == 0 && stat(top, &fresh) == 0;
  for (auto it = fs::directory_iterator("/"); in && it != fs::directory_iterator(); ++it) {
    const std::string to = std::string(top) + "/" + it->path().filename().string();
    if (it->is_symlink()) {
      in = symlink(fs::read_symlink(it->path()).c_str(), to.c_str()) == 0;
    } else if (it->is_directory()) {
      in = mkdir(to.c_str(), 0755) == 0 &&
           mount(it->path().c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
    }
  }
  in = in && chdir(top) == 0 && chroot(".") == 0 && chdir(cwd) == 0 && stat("/", &now) == 0 &&
       now.st_dev == fresh.st_dev && now.st_ino == fresh.st_ino;
  inOwnRoot = in;
  if (in) body();
  inOwnRoot = false;
  // Back to the machine's namespace, its root and the directory the test was in.
  EXPECT_TRUE(setns(ns.get(), CLONE_NEWNS) == 0 && chdir(cwd) == 0 && rmdir(top) == 0);
  return in;
}

// Each kind of finding: found by a check that changes nothing and by --json,
// then repaired, or left as found where only the owner can judge it (a
// program, record or folder others can write keeps its mode, a link stays);
// nothing outside the home changes. Rows without a kind are not findings.
TEST(SchedulerctlDoctorTest, FindsAndRepairsEachKindOfDamage) {
  const std::string kModule1 = "object 1\nName=a\nexecute=/bin/true\nend\n";
  namespace fs = std::filesystem;
  auto emptyTmp = [](Ctl& c) { EXPECT_TRUE(fs::is_empty(c.Data("tmp"))); };
  struct Case {
    const char* kind;  // null: the home stays clean
    const char* file;  // the file the finding names ("" when it is generated; HOME stands for it)
    bool repairable;
    // The damage: `write` (DEAD stands for a pid no process has) written
    // with `bytes`, or else `damage` run.
    const char* write;
    const char* bytes;
    std::function<void(Ctl&)> damage = nullptr;
    std::function<void(Ctl&)> check = nullptr;  // after --repair
    const char* found = nullptr;  // a regular expression the finding matches, named as Ctl::Named
    bool root = false;            // the damage needs a chown
    bool ownRoot = false;         // run where "/" is a folder of the test's own (InOwnRoot)
  };
  const char kInfo3[] = "scheduler/module/3/info";
  const char kRun[] = "scheduler/output/1/20301204T091500Z.due-1015.end-20301204T091501Z.status-1";
  // A kept run's output file with `mode`; never a finding of its own.
  auto kept = [&](mode_t mode) {
    return [=](Ctl& c) {
      PutFile(c.Data(kRun), "connection refused\n");
      ASSERT_EQ(chmod(c.Data(kRun).c_str(), mode), 0);
    };
  };
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
      // A finished log is no finding, and only --repair sweeps it; an empty
      // one is a unit that died before it wrote; a damaged one stays.
      {nullptr, "", false, "tmp/journalDEAD.1", "s3journal 1\n"},
      {"interrupted-unit", "", true, "tmp/journalDEAD.1", "", nullptr, emptyTmp},
      {"damaged-log", "", false, "tmp/journalDEAD.1", "s3journal 2 1\n", nullptr, nullptr,
       "it does not begin with a whole header; no entry of it verifies"},
      // The module's schedule entry and alarm go with it, in the same run.
      {"index-without-record", "scheduler/module/index", true, nullptr, nullptr,
       [](Ctl& c) {
         EXPECT_EQ(c.Run({"schedule", "add", "2", "11:30"}).status, 0);
         EXPECT_EQ(c.Run({"alarm", "add", "2", "2030-01-01 10:00"}).status, 0);
         fs::remove(c.Data("scheduler/module/2/info"));
       },
       [](Ctl& c) {
         Result list = c.Run({"module", "list"});
         EXPECT_EQ(list.status, 0);
         EXPECT_EQ(list.out.find("\n2 "), std::string::npos) << list.out;
         EXPECT_FALSE(fs::exists(c.Data("scheduler/11/30/2")));
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
      {"writable-by-others", "HOME", false, nullptr, nullptr,
       Folder("HOME", 0775, "module 3: the folder HOME on the way to its record is writable"),
       nullptr, "the folder HOME is writable by its group \\(gid \\d+\\) \\(mode 0775\\)"},
      {"writable-by-others", "HOME/data", false, nullptr, nullptr,
       Folder("HOME/data", 0757, "module 3: the folder HOME/data on the way to its record"),
       nullptr, "the folder HOME/data is writable by everyone \\(mode 0757\\)"},
      {"writable-by-others", "scheduler/module/1", false, nullptr, nullptr,
       Folder("HOME/data/scheduler/module/1", 0775, nullptr), nullptr,
       "the folder HOME/data/scheduler/module/1 is writable by its group"},
      {"writable-by-others", "scheduler/10/15", false, nullptr, nullptr,
       Folder("HOME/data/scheduler/10/15", 0777, nullptr), nullptr,
       "writable by its group .*, everyone"},
      {"writable-by-others", "tmp", false, nullptr, nullptr,
       Folder("HOME/data/tmp", 01777, nullptr), nullptr,
       "the folder HOME/data/tmp is writable by its group .*\\(mode 1777\\)"},
      {"writable-by-others", "scheduler/module/1", false, nullptr, nullptr,
       Folder("HOME/data/scheduler/module/1", 0755, nullptr, "WORK/own", 4242), nullptr,
       "the folder HOME/data/scheduler/module/1 is writable by its owner uid 4242", true},
      {"writable-by-others", kInfo3, false, nullptr, nullptr,
       Folder("WORK/bin", 0775, "module 3: the folder WORK/bin on the way to its program "
              "WORK/bin/job is", "WORK/bin/job"),
       nullptr, "the folder WORK/bin on the way to module 3's program WORK/bin/job is writable"},
      {nullptr, "", false, nullptr, nullptr, Folder("WORK/bin", 01777, nullptr, "WORK/bin/job")},
      {"writable-by-others", kInfo3, false, nullptr, nullptr,
       Folder("WORK/bin", 0775, "WORK/bin/link \\(a link to .*true\\) is", "WORK/bin/link"),
       nullptr, "the folder WORK/bin on the way to module 3's program WORK/bin/link \\(a link to "},
      {"writable-by-others", "scheduler/module/1/info", false, nullptr, nullptr,
       [](Ctl&) { ASSERT_TRUE(inOwnRoot && chmod("/", 0775) == 0); }, nullptr,
       "the folder / on the way to module 1's program /bin/true is writable by its group", true,
       true},
      {"link", "scheduler/module/1/info", false, nullptr, nullptr,
       Linked("scheduler/module/1/info"), nullptr, "a symbolic link to WORK/victim; nothing"},
      {"link", "scheduler/module/2", false, nullptr, nullptr, Linked("scheduler/module/2"),
       nullptr, "a symbolic link to WORK/victim; nothing"},
      {nullptr, "", false, nullptr, nullptr, kept(0640)},
      {"writable-by-others", kRun, false, nullptr, nullptr, kept(0646), nullptr,
       "the output of a run is writable by everyone \\(mode 0646\\)"},
      {"link", kRun, false, nullptr, nullptr, [&](Ctl& c) { kept(0640)(c), Linked(kRun)(c); },
       nullptr, "a symbolic link to WORK/victim; nothing"},
      {nullptr, "", false, nullptr, nullptr, [](Ctl& c) {
         WriteScript(c.work + "/job", "");
         ASSERT_EQ(symlink((c.work + "/job").c_str(), (c.home + "/job").c_str()), 0);
         Result add = c.Run({"module", "add", "J", "job"});
         EXPECT_EQ(add.err, "");
       }},
  };
  // clang-format on
  auto run = [&](const Case& c) {
    Ctl ctl;
    WriteScript(ctl.work + "/own", "");
    ASSERT_EQ(mkdir((ctl.work + "/bin").c_str(), 0755), 0);
    WriteScript(ctl.work + "/bin/job", "");
    ASSERT_EQ(symlink("/bin/true", (ctl.work + "/bin/link").c_str()), 0);
    ctl.Setup({{"a", "/bin/true", {"10:15"}}, {"b", ctl.work + "/own"}});
    EXPECT_EQ(ctl.Run({"doctor"}).status, 0);
    if (c.damage) c.damage(ctl);
    if (c.write != nullptr) {
      std::string file = std::regex_replace(c.write, std::regex("DEAD"), std::to_string(DeadPid()));
      PutFile(ctl.Data(file), c.bytes);
    }
    const auto damaged = Snapshot(ctl.home), outside = Snapshot(ctl.work);

    Result found = ctl.Run({"doctor"});
    EXPECT_EQ(found.status, c.kind ? 1 : 0) << found.out;
    const std::string head = c.kind ? std::string(c.kind) + " " + ctl.Named(c.file) : "clean: ";
    EXPECT_EQ(found.out.rfind(head, 0), 0u) << found.out;
    EXPECT_EQ(Snapshot(ctl.home), damaged) << "a plain check changes nothing";

    Result json = ctl.Run({"doctor", "--json"});
    EXPECT_NE(json.out.find(c.kind ? std::string("\"kind\":\"") + c.kind + "\"" : "[]"),
              std::string::npos);
    EXPECT_NE(json.out.find(c.kind ? "\"clean\":false" : "\"clean\":true"), std::string::npos);

    Result repaired = ctl.Run({"doctor", "--repair"});
    EXPECT_EQ(repaired.status, c.repairable || !c.kind ? 0 : 1) << repaired.out;
    EXPECT_EQ(Snapshot(ctl.work), outside) << "nothing outside the home changes";
    if (!c.kind) return;
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
      const fs::path file = c.file[0] == 'H' ? ctl.Named(c.file) : ctl.Data(c.file);
      EXPECT_TRUE(c.file[0] == '\0' || fs::exists(fs::symlink_status(file)));
      EXPECT_EQ(fs::is_symlink(file), std::string(c.kind) == "link");
    }
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kind ? c.kind : "clean") + " " + (c.found ? c.found : ""));
    if (c.root && getuid() != 0) continue;
    if (!c.ownRoot) {
      run(c);
    } else if (!InOwnRoot([&] { run(c); })) {
      printf("skipped: no mount namespace of the test's own for %s\n", c.found);
    }
  }
}

}  // namespace
