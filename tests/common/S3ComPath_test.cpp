// The data home's path layout.
#include "common/S3ComPath.h"

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
