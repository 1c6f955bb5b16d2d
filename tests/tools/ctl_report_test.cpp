// What schedulerctl says when a store operation fails: the failed call's
// path below the home and the system's reason, for failures provoked in
// this process (a folder where a record file should be, a file the caller
// may not read, a disk that fills up under a write).
#include "tools/ctl_report.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "common/S3ComPath.h"
#include "common/comfile_seam.h"
#include "tests/common/temp_dir.h"
#include "tools/ctl_tables.h"

namespace {

namespace fs = std::filesystem;

TEST(CtlReportTest, AFailedCallIsNamedWithItsPathAndReason) {
  // The next write of a file fails as on a full disk.
  static const ComIoHooks kFullDisk = {
      [](const ComIoCall& call) { return call.op == kComIoWrite ? ENOSPC : 0; }, nullptr};
  struct Case {
    const char* what;
    std::function<void(const std::string& data)> damage;
    std::function<int()> command;
    const char* message;  // what standard error gets, as a regular expression
    bool asOther = false;  // run as another user than the files' owner (needs root)
  };
  const Case cases[] = {
      {"a folder where a record file should be",
       [](const std::string& data) {
         fs::remove(data + "/scheduler/module/1/info");
         fs::create_directory(data + "/scheduler/module/1/info");
       },
       [] { return ctlModuleList(false); },
       "schedulerctl: module list: data/scheduler/module/1/info: a directory where a record "
       "file should be \\(result -101\\)\n"},
      {"a full disk", [](const std::string&) { comSetIoHooks(&kFullDisk); },
       [] { return ctlModuleAdd("two", "/bin/true"); },
       // The first write is that of the backup copy.
       "schedulerctl: module add: cannot add the module: data/tmp/temp[0-9]+\\.[0-9]+: No space "
       "left on device \\(result -101\\)\n"},
      {"a file the caller may not read",
       [](const std::string& data) { chmod((data + "/scheduler/module/1/info").c_str(), 0600); },
       [] { return ctlModuleList(false); },
       // -114, as for a lock: the message says which it was.
       "schedulerctl: module list: data/scheduler/module/1/info: Permission denied "
       "\\(result -114\\)\n",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.asOther && getuid() != 0) continue;  // (an owner may read its own file when not root)
    TempDir root;
    ASSERT_EQ(0, chmod(root.c_str(), 0755));
    const std::string home = root.Path("home");
    S3ComPathHomeSave(home.c_str());
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, ctlInit(home.c_str()));
    ASSERT_EQ(0, ctlModuleAdd("one", "/bin/true"));
    testing::internal::GetCapturedStdout();
    c.damage(home + "/data");
    ASSERT_TRUE(!c.asOther || seteuid(65534) == 0);
    comClearFailure();
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const int status = c.command();
    testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    comSetIoHooks(nullptr);
    ASSERT_TRUE(!c.asOther || seteuid(0) == 0);
    EXPECT_EQ(kCtlExitFailed, status);
    EXPECT_TRUE(std::regex_match(err, std::regex(c.message))) << err;
  }
}

}  // namespace
