// Helpers shared by the sources of the record file accessor (opens and the
// public operations in cs3dataiofile.cpp, the unit of work in
// cs3dataiofile_unit.cpp, reading, writing and deleting a slot's file in
// cs3dataiofile_rw.cpp, index edits in cs3dataiofile_index.cpp and the
// in-place index add in cs3dataiofile_indexadd.cpp); not part of its
// interface.
#ifndef S3_CS3DATAIOFILE_INTERNAL_H_
#define S3_CS3DATAIOFILE_INTERNAL_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

#include <string>

class CS3Data;
class CS3Object;

namespace s3io {

// Room for the decimal text of any int and its terminator.
constexpr int kIdTextSize = 16;

// The largest ID a record object can hold: its ID value keeps 9 digits. A
// counter that would pass it is refused rather than handing out an ID that
// the object silently fails to take.
constexpr int kMaxRecordId = 999999999;

// The decimal text of `id` into `out` (kIdTextSize bytes).
void IdText(int id, char* out);

// True when units of work are made crash-safe (the durability is full).
bool Durable();

// True when `st` (of the file at `path`) is no regular file, and then notes
// why for the message of the failure that follows (comNoteFailure): a
// directory, or another kind of file, where a record file should be.
bool RefuseUnlessRegular(const char* path, const struct stat& st);

// The directory part of `path`: "." for a bare name, "/" for the root.
std::string ParentOf(const std::string& path);

// Points `data` at the record file that `obj` names: its path under the
// data directory, and a fresh backup copy path with `withBackup` ("" without).
// 0, or the error of the object's file name.
int FilePaths(CS3Object* obj, CS3Data* data, bool withBackup);

// The most bytes a change may write for its unit's after-images to go with
// its log entry (checking them again at the commit then costs less than the
// flush this saves).
constexpr long long kAheadMax = 64 * 1024;

// read(), restarted when a signal interrupts it before any byte arrived.
ssize_t ReadSome(int fd, char* buf, size_t len);

// Copies `from` (from its current offset) to the current offset of `to`
// until the end of `from`, advancing both offsets, through `buf` (`size`
// bytes) where the kernel cannot copy by itself. 0, kResIoWriteFailed, or
// kResIoOpenFailed when reading fails (a short copy never passes for a
// complete one).
int CopyRest(int from, int to, char* buf, size_t size);

}  // namespace s3io

#endif  // S3_CS3DATAIOFILE_INTERNAL_H_
