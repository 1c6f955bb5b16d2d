// A fresh data home for one store test (data/ and data/tmp/ in a TempDir,
// saved as the process's data home) with byte-level access to its files.
#ifndef TESTS_STORES_STORE_HOME_H_
#define TESTS_STORES_STORE_HOME_H_

#include <string>

#include "common/S3ComPath.h"
#include "common/comfile.h"
#include "tests/common/temp_dir.h"

class StoreHome {
 public:
  StoreHome() {
    S3ComPathHomeSave(dir_.c_str());
    comDirCreateAll(Path("tmp/x").c_str());
  }
  std::string Path(const std::string& name) const { return dir_.Path("data/" + name); }
  // Writes data/`name`, creating its directories.
  void Write(const std::string& name, const std::string& bytes) const {
    comDirCreateAll(Path(name).c_str());
    WriteFile(Path(name), bytes);
  }
  // The bytes of data/`name`, or "<missing>".
  std::string Read(const std::string& name) const { return ReadFile(Path(name)); }
  bool Exists(const std::string& name) const { return PathExists(Path(name)); }

 private:
  TempDir dir_;
};

#endif  // TESTS_STORES_STORE_HOME_H_
