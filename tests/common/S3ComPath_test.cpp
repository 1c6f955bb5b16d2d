// The data home's path layout.
#include "common/S3ComPath.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(S3ComPathTest, Layout) {
  for (std::string home : {"/srv/g", "/srv/g/"}) {  // a "/" is always inserted
    EXPECT_EQ(S3ComPathHomeSave(home.c_str()), static_cast<int>(home.size()) + 9);
    EXPECT_EQ(std::string(cPathData) + " " + cPathPage + " " + cPathFile + " " + cPathTemp,
              home + "/data " + home + "/page " + home + "/file " + home + "/data/tmp");
    char out[kComPathMax];
    EXPECT_EQ(std::string(S3ComPathEditModule("alarm", out)), home + "/alarm");
    EXPECT_EQ(S3ComPathEditData("", out), static_cast<int>(home.size()) + 6);
    EXPECT_EQ(std::string(out), home + "/data/");
  }
}

TEST(S3ComPathTest, TempNamesAreFreshPerCallAndPerProcess) {
  S3ComPathHomeSave("/srv/g");
  char name[2][kComPathMax];
  int n = iTemp, fds[2];
  S3ComPathTemp(name[0]);
  S3ComPathTemp(name[1]);
  std::string prefix = "/srv/g/data/tmp/temp" + std::to_string(getpid()) + ".";
  EXPECT_EQ(std::string(name[0]) + " " + name[1],
            prefix + std::to_string(n) + " " + prefix + std::to_string(n + 1));
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {  // a child names its files with its own pid
    int len = S3ComPathTemp(name[0]);
    _exit(write(fds[1], name[0], len) == len ? 0 : 1);
  }
  close(fds[1]);
  ssize_t len = read(fds[0], name[0], sizeof(name[0]));
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  EXPECT_EQ(std::string(name[0], len > 0 ? len : 0),
            "/srv/g/data/tmp/temp" + std::to_string(pid) + "." + std::to_string(n + 2));
}

TEST(S3ComPathTest, OverlongHomeIsCutNeverOverflows) {
  std::string home(kComPathMax + 100, 'h');
  EXPECT_EQ(S3ComPathHomeSave(home.c_str()), kS3PathSize - 1);
  EXPECT_EQ(strlen(cPathData) + strlen(cPathPage) + strlen(cPathFile), 3u * (kS3PathSize - 1));
  char out[kComPathMax];
  EXPECT_EQ(pathEdit(home.c_str(), "name", out), kComPathMax - 1);
  int n = S3ComPathTemp(out);  // the length of what was written
  EXPECT_EQ(n, static_cast<int>(strlen(out)));
  EXPECT_EQ(strlen(S3ComPathEditModule(home.c_str(), out)), kComPathMax - 1u);
}

}  // namespace
