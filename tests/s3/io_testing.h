// Test helpers for the record objects, the accessor and the collections: a
// fresh data home per test, whole-file reads and writes, a small record class
// and a view into an accessor's slots.
#ifndef TESTS_S3_IO_TESTING_H_
#define TESTS_S3_IO_TESTING_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "s3/cs3data.h"
#include "s3/cs3dataiofile.h"
#include "s3/cs3journal.h"
#include "s3/cs3object.h"
#include "tests/common/temp_dir.h"

// A data home in a fresh directory: home/data and home/data/tmp exist.
class TempHome {
 public:
  TempHome() {
    S3ComPathHomeSave(dir_.c_str());
    mkdir(dir_.Path("data").c_str(), 0755);
    mkdir(dir_.Path("data/tmp").c_str(), 0755);
  }
  // The home's path.
  const std::string& Home() const { return dir_.path(); }
  // Absolute path of a record file named relative to home/data.
  std::string Data(const std::string& name) const { return dir_.Path("data/" + name); }
  // Names in home/data/tmp (the backup copies left behind), once this
  // process gave up its idle unit logs as it does when it ends.
  std::vector<std::string> TempFiles() const {
    s3JournalRelease();
    std::vector<std::string> names;
    for (const auto& file : Snapshot(dir_.Path("data/tmp"))) names.push_back(file.first);
    return names;
  }

 private:
  TempDir dir_;
};

// Writes `content` to `path`, creating the directories above it.
inline void PutFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  WriteFile(path, content);
}

// One record as the writer produces it.
inline std::string Rec(const std::string& id, const std::string& fields) {
  return "object " + id + "\n" + fields + "end\n";
}

// An index record: `head` lines, then `entries` "3 5" as _item=3 and _item=5.
inline std::string IndexRec(const std::string& head, const std::string& entries) {
  std::string fields = head;
  std::istringstream in(entries);
  for (std::string e; in >> e;) fields += "_item=" + e + "\n";
  return Rec("1", fields);
}

// A record object with two text fields, "Name" and "memo", kept in a file
// named `file` relative to home/data; a "%d" in `file` stands for its ID.
class TestRecord : public CS3Object {
 public:
  explicit TestRecord(std::string file = "rec") : file_(std::move(file)) {}
  int GetFileName(char* out) override {
    snprintf(out, kComPathMax, file_.c_str(), GetID());
    return 0;
  }
  int PreSetFieldValue(CS3Data*) override { return preSetResult; }
  int SetFieldValue(CS3Data* data) override {
    if (setResult != 0) return setResult;
    int r = data->SetFieldValue("Name", name.c_str());
    return r != 0 ? r : data->SetFieldValue("memo", memo.c_str());
  }
  int GetFieldValue(CS3Data* data) override {
    ++reads;
    if (noOpen) return getResult;
    CS3String value;
    int r = data->GetFieldValue("Name", value);
    name = value.Get();
    return r != 0 ? r : getResult;
  }
  void Clean() override { name.clear(); }
  bool IsNoOpen() override { return noOpen; }

  std::string name;
  std::string memo;
  int reads = 0;
  int preSetResult = 0;
  int setResult = 0;
  int getResult = 0;
  bool noOpen = false;

 private:
  std::string file_;
};

// An accessor whose slots a test may look at.
class ProbeIO : public CS3DataIO {
 public:
  int Count() const { return dataCount; }
  CS3Data* Slot(int i) const { return i >= 0 && i < dataCount ? dataList[i] : nullptr; }
  int OpenSlots() const {
    int n = 0;
    for (int i = 0; i < dataCount; ++i) n += dataList[i] != nullptr;
    return n;
  }
};

#endif  // TESTS_S3_IO_TESTING_H_
