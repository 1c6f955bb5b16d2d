// The data home's path layout.
#include "common/S3ComPath.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(S3ComPathTest, Layout) {
  // `module` is S3ComPathEditModule("alarm").
  const struct {
    const char* home;
    const char* data;
    const char* temp;
    const char* module;
  } cases[] = {
      {"/srv/g", "/srv/g/data", "/srv/g/data/tmp", "/srv/g/alarm"},
      {"/srv/g/", "/srv/g//data", "/srv/g//data/tmp", "/srv/g//alarm"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(S3ComPathHomeSave(c.home), static_cast<int>(strlen(c.temp)));
    EXPECT_STREQ(cPathData, c.data);
    EXPECT_STREQ(cPathTemp, c.temp);
    EXPECT_EQ(std::string(cPathPage) + cPathFile, std::string(c.home) + "/page" + c.home + "/file");
    char out[kComPathMax];
    EXPECT_STREQ(S3ComPathEditModule("alarm", out), c.module);
    EXPECT_EQ(S3ComPathEditData("", out), static_cast<int>(strlen(c.data)) + 1);
    EXPECT_EQ(std::string(out), std::string(c.data) + "/");
  }
}

TEST(S3ComPathTest, TempNamesAreFreshPerCallAndPerProcess) {
  S3ComPathHomeSave("/srv/g");
  char first[kComPathMax], second[kComPathMax], child[kComPathMax] = {};
  S3ComPathTemp(first);
  S3ComPathTemp(second);
  std::string prefix = "/srv/g/data/tmp/temp" + std::to_string(getpid()) + ".";
  int n = atoi(first + prefix.size());
  EXPECT_EQ(std::string(second), prefix + std::to_string(n + 1));
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    int len = S3ComPathTemp(child);
    _exit(write(fds[1], child, len) == len ? 0 : 1);
  }
  close(fds[1]);
  EXPECT_GT(read(fds[0], child, sizeof(child) - 1), 0);
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  EXPECT_EQ(std::string(child),
            "/srv/g/data/tmp/temp" + std::to_string(pid) + "." + std::to_string(n + 2));
}

TEST(S3ComPathTest, OverlongHomeIsCutNeverOverflows) {
  std::string home(kComPathMax + 100, 'h');
  EXPECT_EQ(S3ComPathHomeSave(home.c_str()), kS3PathSize - 1);
  EXPECT_EQ(strlen(cPathData) + strlen(cPathPage) + strlen(cPathFile), 3u * (kS3PathSize - 1));
  char out[kComPathMax];
  EXPECT_EQ(pathEdit(home.c_str(), "name", out), kComPathMax - 1);
  int n = S3ComPathTemp(out);
  EXPECT_EQ(n, static_cast<int>(strlen(out)));
  S3ComPathEditModule(home.c_str(), out);
  EXPECT_EQ(strlen(out), static_cast<size_t>(kComPathMax - 1));
}

}  // namespace
