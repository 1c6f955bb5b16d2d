// A fresh data home for one store test (data/ and data/tmp/ in a TempDir,
// saved as the process's data home) with byte-level access to its files.
#ifndef TESTS_STORES_STORE_HOME_H_
#define TESTS_STORES_STORE_HOME_H_

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "common/S3ComPath.h"
#include "common/comfile.h"
#include "tests/common/temp_dir.h"

class StoreHome {
 public:
  StoreHome() {
    S3ComPathHomeSave(dir_.c_str());
    mkdir(Path("").c_str(), 0755);
    mkdir(Path("tmp").c_str(), 0755);
  }
  std::string Path(const std::string& name) const { return dir_.Path("data/" + name); }
  // Writes data/`name`, creating its directories.
  void Write(const std::string& name, const std::string& bytes) const {
    comDirCreateAll(Path(name).c_str());
    std::ofstream(Path(name), std::ios::binary) << bytes;
  }
  // The bytes of data/`name`, or "<missing>".
  std::string Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return in ? bytes.str() : "<missing>";
  }
  bool Exists(const std::string& name) const {
    struct stat st;
    return stat(Path(name).c_str(), &st) == 0;
  }

 private:
  TempDir dir_;
};

#endif  // TESTS_STORES_STORE_HOME_H_
