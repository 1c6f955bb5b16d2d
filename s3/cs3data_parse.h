// Parsing a record file into a CS3Data and writing it back whole.
#ifndef S3_CS3DATA_PARSE_H_
#define S3_CS3DATA_PARSE_H_

#include <stddef.h>

#include <string>

#include "s3/cs3data.h"

// One parse of one file into a CS3Data, fed with the file's bytes in chunks of
// any size (from a file by the record file accessor, from memory by tests and
// tools). Lines are cut here, once for every caller:
//  - spaces (0x20) at the start of a line are dropped; a CR right before the
//    LF is removed;
//  - a record's start offset is the offset of its "object" line's first
//    stored character, its end offset the offset just past its "end" line's
//    LF;
//  - a line that is not ended by an LF when the input ends is never parsed
//    (a record that it would have belonged to ends at the end of the input);
//  - a line holding a NUL byte is read as ending at its first NUL (the rest up
//    to the LF is ignored; offsets still count every byte);
//  - a field or group value line without "=" is a name with the empty value
//    (the whole line, kS3NameMax characters kept); one that begins with "="
//    has the empty name.
// A record whose "end" line is missing ends at the end of the input; the
// field conditions are applied at "end" lines only, so it is kept as read.
// A line of n bytes costs O(n): lines wholly inside a chunk are parsed in
// place, lines spanning chunks are gathered in a buffer that grows
// geometrically. Text outside records and the records that are not collected
// (other IDs than the wanted one, IDs the ID conditions exclude) are passed
// over without cutting their lines: only the lines whose first bytes could
// begin a record line or an "end" line are cut and read, so skipping costs
// less than cutting every line of the text.
class CS3DataParser {
 public:
  // Feed() returned: go on feeding / the wanted record is complete (stop
  // reading; the parse result is 0).
  static constexpr int kGoOn = 0;
  static constexpr int kDone = 1;

  // REQUIRES: `data` holds no records (conditions and saveFieldNames may be
  // set) and outlives the parser. `wantedId` given and not empty: only the
  // record with exactly this ID text is collected and the parse ends at its
  // "end" line. `requiredId` given: the input must hold a record with exactly
  // this ID text that the ID conditions do not exclude. Both are copied (when
  // that fails, Feed and Finish return kResNoMemory).
  CS3DataParser(CS3Data* data, const char* wantedId, const char* requiredId);
  ~CS3DataParser();
  CS3DataParser(const CS3DataParser&) = delete;
  CS3DataParser& operator=(const CS3DataParser&) = delete;

  // The next `n` bytes of the input. kGoOn, kDone (further calls do nothing
  // and return kDone), or a failure code from a CS3Data operation or
  // kResNoMemory (further calls return it again). The records collected
  // before a failure stay in the CS3Data.
  int Feed(const char* bytes, size_t n);
  // End of the input. 0 with the record cursor on the first record;
  // kResNoEntry when the required ID was not met or nothing was collected; an
  // earlier failure again.
  int Finish();
  // Bytes fed so far.
  long Offset() const { return offset_; }

 private:
  // A line without its LF; `eq` and `nul` point at its first "=" and NUL
  // byte (null when it has none).
  int Line(const char* p, size_t n, long start, long end, const char* eq, const char* nul);
  int LineOutside(const char* p, size_t n, long start, const char* nul);
  int LineInside(const char* p, size_t n, long end, const char* eq, const char* nul);
  // The common value lines' own path (see StoreValueLine).
  bool ValueLinesFast() const;
  const char* StoreValueLine(const char* p, const char* end);
  const char* JoinValueLine(const char* p, const char* end);
  int AppendCarry(const char* p, size_t n);

  CS3Data* data_;
  char* wantedId_;  // malloc'd copies; null when not given
  size_t wantedLength_;
  char* requiredId_;
  size_t requiredLength_;
  bool hasWanted_;
  bool hasRequired_;
  int state_;  // kGoOn, kDone or a failure code

  // Line state.
  char* carry_;  // a line spanning chunks, gathered (malloc'd)
  size_t carryLength_;
  size_t carryCapacity_;
  long carryStart_;  // offset of the carried line's first byte
  long offset_;      // bytes fed so far

  // Parse flags.
  bool inRecord_;
  bool skipRecord_;
  bool recordOpen_;  // a record was created for the current block
  int groupState_;   // kGroupNone, kGroupCollect, kGroupSkip
  int joinState_;    // kJoinNone, kJoinAppend, kJoinSkip
  bool requiredFound_;
  // Arena position before the current record was created: a record that the
  // field conditions drop gives back all its memory at once.
  CS3DataArena::Mark recordMark_;
};

// Parses `n` bytes in one chunk: CS3DataParser(data, wantedId,
// requiredId).Feed, then Finish. 0 or the parse's failure.
int s3DataParse(CS3Data* data, const char* bytes, size_t n, const char* wantedId,
                const char* requiredId);

// Appends the whole file written anew to `out`: the records in sort order
// (firstSortElement / nextSortElement), records marked deleted left out
// (EditItemDel), the others written by EditRecord without an override ID.
// kResNoEntry for an empty list, else 0 or EditRecord's failure (`out` may
// then hold the records written before it).
int s3DataWrite(CS3Data* data, std::string* out);

#endif  // S3_CS3DATA_PARSE_H_
