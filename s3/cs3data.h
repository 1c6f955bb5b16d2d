// The parsed form of one record file: its records, each record's fields and
// groups of values, the cursors over them, the selection conditions applied
// while parsing, the sort order, the element entries of index records, and the
// pieces of text from which a record is written back.
//
// The record text format:
//
//   object <ID>            starts a record (ID "1" when the line has none)
//   name=value             a field; the value is everything after the first "="
//   <TAB>more              continues the value of the field read last (joined
//                          by one LF)
//   object <group>         starts a group inside a record (groups do not nest)
//   name=value             a group value, always held under the name "_item"
//   end                    closes the open group, else the record
//   end                    ("end" alone or followed by a space and anything)
//
// Lines end with LF; a CR right before the LF and spaces at the start of a line
// are not part of the line. Lines outside records that do not start a record
// are ignored. Writing a parsed record reproduces its bytes except that deleted
// fields and group values are left out, CRs inside field values are dropped,
// group values are named "_item", text outside records and leading spaces are
// gone, and the choices documented at CS3DataParser (cs3data_parse.h) and at
// the writer pieces below apply.
//
// Ownership: a CS3Data owns every node and value text reachable from it; they
// live in blocks that init() (and the destructor) release. Cursors point into
// the lists and own nothing. Texts handed out by EditField and EditFieldItems
// belong to the caller, who releases them with free().
//
// Single-threaded: a CS3Data belongs to one accessor slot at a time, and the
// sort comparison reads the process-wide StpData.
#ifndef S3_CS3DATA_H_
#define S3_CS3DATA_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "common/com.h"
#include "s3/cs3data_arena.h"
#include "s3/values/cs3date.h"
#include "s3/values/cs3number.h"
#include "s3/values/cs3string.h"

// ---- Result codes of the parsed record file --------------------------------
// (kResOk, kResNoMemory -10 and kResNoEntry -110 come from common/com.h.)

// No record or no group where a group operation needs one, or a value
// operation without a value cursor.
constexpr int kResDataNoGroup = -51;
// A writer text would not fit its computed buffer (the buffer is released and
// nothing is handed out).
constexpr int kResDataTooLong = -53;
// A group value containing a line feed: it could not be read back (a line in
// a group is one value), so the writer refuses it.
constexpr int kResDataValueHasLineFeed = -56;
// A null name, ID or text where one is required.
constexpr int kResDataNullArg = -99;
// The current record has no group of that name (or no groups at all).
constexpr int kResDataNoSuchGroup = -111;
// No current record or field where one is required.
constexpr int kResDataNoCurrent = -120;
// s3killjudge: no record; s3datasieve: empty list.
constexpr int kResJudgeNoRecord = -2;
// s3datasieve: the record test reported kResJudgeNoRecord.
constexpr int kResSieveBadRecord = -3;

// Results of s3killjudge other than kResJudgeNoRecord.
constexpr int kJudgeKeep = 0;
constexpr int kJudgeDrop = 1;

// ---- Sizes and names --------------------------------------------------------

// Record IDs, field names and group names keep at most this many characters.
constexpr int kS3NameMax = 63;
// Bytes of the name arrays of the nodes (kS3NameMax + terminator).
constexpr int kS3NameSize = 64;
// Room the caller provides for EditItem and EditItemEnd.
constexpr int kS3EditLineSize = 128;
// Field kinds: text, number, date, date-time; conditions also use the prefix
// match of about conditions.
constexpr int kS3KindText = 0;
constexpr int kS3KindNumber = 1;
constexpr int kS3KindDate = 2;
constexpr int kS3KindDateTime = 3;
constexpr int kS3KindPrefix = 8;
// Name of element entries and group values, and of an index record's counter.
constexpr const char kS3ItemName[] = "_item";
constexpr const char kS3LastIdName[] = "_lastid";

// Reads a number as atoi does (leading white space, an optional sign, decimal
// digits, the rest ignored; no digits reads as 0), except that a value beyond
// the range of int is clamped to INT_MIN or INT_MAX instead of being undefined.
// Null reads as 0.
int s3ReadInt(const char* text);

// ---- Nodes ------------------------------------------------------------------

// A field of a record, a value of a group (named "_item"), or a condition
// entry (name = the field it tests, value = the condition text).
struct _ST_ItemField {
  char name[kS3NameSize];  // at most kS3NameMax characters, terminated
  char* value;             // terminated text, may be null (reads as "")
  int deleted;             // 1: left out when the record is written
  int kind;                // kS3Kind...
  _ST_ItemField* next;
  // Bookkeeping of `value`, kept by the CS3Data that owns the node:
  // strlen(value) (0 when null) and the bytes usable at `value` (0 when null).
  size_t valueLength;
  size_t valueCapacity;
};

// A named group of values inside a record.
struct _ST_ItemFieldItems {
  char name[kS3NameSize];
  _ST_ItemField* values;  // first value
  _ST_ItemFieldItems* next;
  _ST_ItemField* lastValue;  // last value of `values` (kept by CS3Data)
};

// A record.
struct _ST_Item {
  char id[kS3NameSize];  // the ID text as read, at most kS3NameMax characters
  _ST_ItemField* fields;
  _ST_ItemFieldItems* groups;
  int deleted;           // 1: left out of a rewrite (DelItem)
  long filePointer;      // offset in the file of the record's "object" line
  long nextFilePointer;  // offset just past the record's "end" line
  _ST_Item* next;
  _ST_ItemFieldItems* lastGroup;  // last group of `groups` (kept by CS3Data)
};

// ---- The parsed record file -------------------------------------------------

// `final`: the destructor is deliberately not virtual (the virtual operations
// start at firstElement), so no class may derive from this one.
class CS3Data final {
 public:
  // Empty: no records, no conditions, fd -1, paths empty, counters 0.
  CS3Data();
  // Runs init().
  ~CS3Data();
  CS3Data(const CS3Data&) = delete;
  CS3Data& operator=(const CS3Data&) = delete;

  // ---- Virtual operations (in this slot order) ----
  //
  // The field, group and value cursors only ever lie in the current record:
  // a move of the record cursor to another record (here and below) leaves
  // them null, a move onto the record it is already on leaves them as they
  // are (after a parse of a one-record file the field cursor is still on the
  // last field read).

  // Record cursor to the first record (null when empty). 0.
  virtual int firstElement();
  // Record cursor to the next record (null after the last). kResNoEntry when
  // the cursor already is null or the list is empty.
  virtual int nextElement();
  // Without a sort array: nextElement(). Otherwise the next record in sort
  // order: 0, or kResNoEntry with the cursor null past the end.
  virtual int nextSortElement();
  // Without a sort array: firstElement(). Otherwise the cursor goes to the
  // first record in sort order. 0.
  virtual int firstSortElement();
  // itemCount.
  virtual int GetCount();
  // The current record's ID read as a number (s3ReadInt); -1 without one.
  virtual int GetID();
  // True when the field cursor is on a field named exactly "_lastid".
  virtual bool IsFieldLastID();
  // No current record: kResNoEntry. Finds the first field of the current
  // record named `name` (byte comparison); found: it becomes the field cursor
  // and the result is out.Set(value). Not found: the field cursor becomes
  // null, `out` is unchanged and the result is 0.
  virtual int GetFieldValue(const char* name, CS3String& out);
  virtual int GetFieldValue(const char* name, CS3DateStr& out);
  virtual int GetFieldValue(const char* name, CS3TimeStr& out);
  virtual int GetFieldValue(const char* name, CS3Int& out);
  virtual int GetFieldValue(const char* name, CS3DateTimeStr& out);
  // No field cursor: kResNoEntry. *out = the cursor field's value as a number
  // (empty: 0).
  virtual int GetFieldID(int* out);
  // No field cursor: kResNoEntry. Copies the cursor field's name into `name`
  // (REQUIRES: room for kS3NameSize bytes) and returns value.Set(its value).
  virtual int GetField(char* name, CS3String& value);
  // Sets a field of the current record (record "1" is created first when there
  // is none; null name: kResDataNullArg). The fields are walked in order:
  //  - with `anchor` given and not empty, a field whose value (anchorByName:
  //    whose name) reads as the anchor's number ends the walk: a new field is
  //    linked right after it;
  //  - the first field named `name` gets the value and its deleted mark is
  //    cleared; with an empty value (null or "") and deleteIfEmpty it is
  //    marked deleted instead and its value emptied.
  // When the walk finds neither, a new field ends the list. An empty value
  // with deleteIfEmpty creates nothing. The field set or created becomes the
  // field cursor. 0, kResNoMemory, or CreateItem's failure.
  virtual int SetFieldValue(const char* name, const char* value, bool deleteIfEmpty = true,
                            const char* anchor = nullptr, bool anchorByName = false);
  // Adds an element entry "_item" holding a copy of `value` (null reads as "")
  // after the last field of the current record (record "1" is created first
  // when there is none); *existed = 0. Without allowDuplicate an entry (never
  // "_lastid") whose text equals `value` is revived instead (deleted mark
  // cleared) and *existed = 1. `existed` may be null. The entry becomes the
  // field cursor. 0, kResNoMemory, or CreateItem's failure.
  virtual int SetFieldValue(const char* value, bool allowDuplicate, int* existed);
  // SetFieldValue(name, the date's text); the field gets kind kS3KindDate.
  virtual int SetFieldValue(const char* name, CS3DateStr& value);
  // SetFieldValue(name, the date-time's text); kind kS3KindDateTime.
  virtual int SetFieldValue(const char* name, CS3DateTimeStr& value);
  // Fields of the current record, deleted ones and "_lastid" included; 0
  // without a current record.
  virtual int GetFieldCount();
  // Field cursor to the current record's first field (null without one). 0.
  virtual int firstElementField();
  // Field cursor to the next field. kResNoEntry when it already is null.
  virtual int nextElementField();
  // Releases the five condition lists, the sort conditions, both ID arrays and
  // saveFieldNames. Leaves the sort array alone.
  virtual void SetConditionClean();
  // Builds the sort array from the sort conditions (nothing when the list or
  // the sort conditions are empty: sorted iteration then follows list order).
  // 0 or kResNoMemory. Run it again after records are added or dropped.
  virtual int SortData();

  // ---- Record list ----

  // Releases every record with its fields, groups and values, the sort array
  // and every condition; fd -1, paths empty, counters 0, cursors null,
  // sizeDelta and editLength 0.
  void init();
  // null id: kResDataNullArg. Appends a record with the ID text `id` (at most
  // kS3NameMax characters kept) as the last record; it becomes current (its
  // field, group and value cursors null), `previous` the record before it;
  // itemCount + 1; lastId = max(lastId, s3ReadInt(id)). Out of memory:
  // kResNoMemory.
  int CreateItem(const char* id);
  // Store filePointer / nextFilePointer of the current record. No current
  // record: kResDataNoCurrent.
  int SaveFilePointer(long offset);
  int SaveNextFilePointer(long offset);
  bool IsEmpty() const { return items == nullptr; }
  // Record cursor to the last record (null when empty). 0.
  int lastElement();
  // Save and restore the record cursor. REQUIRES: the pointer came from
  // GetCurrentElement of this CS3Data and its record is still in the list.
  void* GetCurrentElement() { return current; }
  void RestorCurrentElement(void* element);
  bool IsEndOfData() const { return current == nullptr; }
  int GetLastID() const { return lastId; }
  // Raises lastId to n when n is larger.
  void SetLastID(int n);
  // Byte comparison of the current record's ID text with `id` (null reads as
  // ""): 0 when equal. -1 without a current record.
  int CompID(const char* id);
  // True when there is no current record or it is marked deleted.
  bool IsDelete() const;
  // Marks the first record whose ID reads as `id` deleted and makes it
  // current. Empty list: kResDataNoCurrent; not found: kResNoEntry.
  int DelItem(int id);
  // filePointer / nextFilePointer of the current record; 0 without one.
  long GetStartPoint() const;
  long GetNextPoint() const;
  // filePointer + sizeDelta: where the current record starts now in a file
  // whose earlier records were rewritten. 0 without a current record.
  long GetStartPointNew() const;
  // sizeDelta = 0.
  void ClearFilePoint() { sizeDelta = 0; }
  // Swap the first record whose ID text equals `id` with the record before /
  // after it in the list. 0 also when it is already first / last or there is
  // no such record; kResNoEntry for an empty list; kResDataNullArg for null.
  int upItem(const char* id);
  int downItem(const char* id);

  // ---- Fields of the current record ----

  // No current record: kResDataNoCurrent; null name: kResDataNullArg. Links a
  // new field (kS3NameMax characters of the name kept, no value) after the
  // field cursor, or first in the record when the cursor is null; it becomes
  // the field cursor. Out of memory: kResNoMemory.
  int CreateField(const char* name);
  // No current record or field cursor: kResDataNoCurrent. The cursor field's
  // value becomes a copy of `text` (null reads as ""). Out of memory:
  // kResNoMemory (the old value stays).
  int CreateFieldValue(const char* text);
  // No current record or field cursor: kResDataNoCurrent; null text:
  // kResDataNullArg. The cursor field's value becomes old value + LF + text
  // (LF + text without an old value). Repeated joins grow the value
  // geometrically. Out of memory: kResDataNullArg (the old value stays).
  int JointFieldValue(const char* text);
  // SetFieldValue(name, "%d" of n); the field cursor, when set, gets kind
  // kS3KindNumber.
  int SetFieldValueNum(const char* name, int n);
  // No current record: kResNoEntry. Finds the first field whose value equals
  // `value` (null and a missing value read as ""); found: it becomes the field
  // cursor and the result is out.Set(its name); not found: the field cursor
  // becomes null and the result is 0.
  int GetFieldName(CS3String& out, const char* value);
  // True when there is no field cursor or its field is marked deleted.
  bool IsDeleteField() const;
  bool IsEndOfField() const { return currentField == nullptr; }
  // Keeps `name` among the only field (and group) names the parser stores.
  // 0 or kResNoMemory.
  int SetSaveFieldName(const char* name);
  // True when saveFieldNames is empty or holds `name`.
  bool IsSaveFieldName(const char* name) const;

  // ---- Element entries of an index record (the current record's fields other
  // than "_lastid") ----

  // Numeric add: a new entry "_item" holding "%d" of id. With `anchor` given,
  // not empty and reading as 0 the entry goes first (after a first field named
  // "_lastid"), without a duplicate test. Otherwise the entries are walked:
  // the first whose value reads as the anchor's number (anchor given and not
  // empty) is the insertion point; without allowDuplicate an entry whose value
  // reads as id is revived (deleted mark cleared), *existed = 1, and nothing
  // is added. Without a found anchor the entry goes after the last field.
  // *existed = 0 when added; `existed` may be null. Record "1" is created
  // first when there is none. 0 or kResNoMemory (or CreateItem's failure).
  int SetFieldValue(int id, bool allowDuplicate, int* existed, const char* anchor = nullptr);
  // Without a current record: 0. Finds the key-th entry counted from 1
  // (byPosition) or the first entry whose value reads as key; marks it deleted,
  // or with `remove` unlinks it (the field cursor leaves it). Not found:
  // nothing. Always 0.
  int DelFieldValue(int key, bool byPosition, bool remove);
  // Marks deleted the entry at position s3ReadInt(value) (byPosition) or the
  // first entry whose text equals `value`. null: kResDataNullArg; else 0.
  int DelFieldValue(const char* value, bool byPosition);
  // Swap the entry whose value (byName: whose name) reads as key with the
  // entry before / after it ("_lastid" stays where it is). No current record,
  // no such entry or no neighbour: kResNoEntry.
  int UpFieldValue(int key, bool byName);
  int DownFieldValue(int key, bool byName);
  // The same for the entry whose text equals `value` (null: kResDataNullArg).
  int UpFieldValue(const char* value);
  int DownFieldValue(const char* value);
  // The number in the current record's "_lastid" field; 0 without a current
  // record or such a field.
  int GetFieldLastID();
  // "_lastid" = "%d" of n: an existing field is overwritten (and revived),
  // otherwise one is appended after the last field. Record "1" is created
  // first when there is none. 0 or kResNoMemory.
  int SetFieldLastID(int n);
  // Nodes of a field list, all counted.
  static int getIndexCount(const _ST_ItemField* list);

  // ---- Groups of the current record ----

  // Creates record "1" first when there is no current record (CreateItem's
  // failure returned). Appends an empty, unnamed group to the current record;
  // it becomes the group cursor (value cursor null). 0 or kResNoMemory.
  int CreateFieldItems();
  // Empties the first group named `name` (it stays and becomes the group
  // cursor). 0, also without a current record or such a group.
  int DelFieldItems(const char* name);
  // No current record or group cursor: kResDataNoGroup; null name:
  // kResDataNullArg. Names the cursor group (kS3NameMax characters kept).
  int SetFieldItemsName(const char* name);
  // No current record or no groups: kResDataNoSuchGroup. Group cursor to the
  // first group named `name` (null reads as ""): 0; not found:
  // kResDataNoSuchGroup with the cursor on the last group.
  int GetFieldItems(const char* name);
  // No current record: kResDataNoCurrent. `group` non-null: that group, found
  // or created (CreateFieldItems, SetFieldItemsName); null: the group cursor
  // (none: kResDataNoCurrent). Without allowDuplicate a value equal to `value`
  // (null reads as "") is revived and *existed = 1; otherwise a new "_item"
  // value holding a copy is appended and *existed = 0 (`existed` may be
  // null). The value becomes the value cursor. A value containing an LF is
  // stored, but the writer refuses it (kResDataValueHasLineFeed): a group
  // line holds one value. 0 or kResNoMemory.
  int SetFieldItemsValue(const char* group, const char* value, bool allowDuplicate,
                         int* existed = nullptr);
  // The numeric add of SetFieldValue(int, ...) on the values of the group
  // (found or created as above; null group: the group cursor, none:
  // kResDataNoGroup). kResDataNoCurrent without a current record.
  int SetFieldItemsValue(const char* group, int id, bool allowDuplicate, int* existed,
                         const char* anchor);
  // Values of the cursor group, deleted ones included; 0 without a current
  // record or group cursor.
  int GetFieldItemsCount();
  // Group cursor to the first group / the next group (kResNoEntry when it
  // already is null); the value cursor is cleared when the group changes. 0.
  int firstElementFieldItems();
  int nextElementFieldItems();
  bool IsEndOfFieldItems() const { return currentGroup == nullptr; }
  // Value cursor to the cursor group's first value (kResDataNoGroup without a
  // group cursor) / to the next value (kResDataNoGroup without a value
  // cursor). 0.
  int firstElementFieldItemsValue();
  int nextElementFieldItemsValue();
  bool IsEndOfFieldItemsValue() const { return currentGroupValue == nullptr; }
  // The value cursor's text as a number / as text. No value cursor:
  // kResDataNoGroup.
  int GetFieldItemsID(int* out);
  int GetFieldItemsValue(CS3String& out);
  // Marks deleted a value of the group `group` (null: the group cursor) as
  // DelFieldValue(key, byPosition, false) does for entries. 0, also when the
  // group or the value is missing.
  int DelFieldItemsValue(const char* group, int key, bool byPosition);
  // Swap the cursor group's value that reads as key with the one before /
  // after it. No current record or group cursor: kResDataNoGroup; no such
  // value or neighbour: kResNoEntry.
  int UpFieldItemsValue(int key);
  int DownFieldItemsValue(int key);

  // ---- Writer pieces for the current record ----
  //
  // Written form of a record:
  //   "object " ID LF
  //   for each field not deleted: name "=" value LF, where each LF of the
  //     value is written as LF TAB and each CR is left out
  //   for each group: "object " name LF, then for each value not deleted
  //     "_item=" value LF, then "end" LF
  //   "end" LF
  // IDs, group names and group values are written as they are (so one ending
  // in CR reads back one CR shorter). A group value holding an LF is refused
  // with kResDataValueHasLineFeed: it would read back as several values.

  // editLength = 0. No current record: kResDataNoCurrent (buf = ""). Writes
  // the "object" line into `buf` with `id` when given and not empty (at most
  // kS3NameMax characters of it), else with the record's ID; editLength = its
  // length. REQUIRES: buf holds kS3EditLineSize bytes.
  int EditItem(char* buf, const char* id);
  // *out = null first. No field cursor: kResDataNoCurrent. *out = a malloc'd,
  // terminated text of the cursor field (the caller frees it); editLength
  // grows by its length. A text that would not fit value length + 1 + 3 per
  // line + 95 bytes: kResDataTooLong. Out of memory: kResNoMemory.
  int EditField(char** out);
  // *out = null first. No group cursor: kResDataNoCurrent. *out = a malloc'd
  // text of the cursor group's whole block; editLength grows by its length.
  // Fits 128 + (72 + value length) per value bytes or kResDataTooLong; a value
  // holding an LF: kResDataValueHasLineFeed. Out of memory: kResNoMemory.
  int EditFieldItems(char** out);
  // No current record: kResDataNoCurrent (buf = ""). Writes "end" LF into
  // `buf`, editLength += 4, sizeDelta += editLength - (nextFilePointer -
  // filePointer). REQUIRES: buf holds kS3EditLineSize bytes.
  int EditItemEnd(char* buf);
  // No current record: kResDataNoCurrent. For a record left out of a rewrite:
  // sizeDelta -= nextFilePointer - filePointer.
  int EditItemDel();
  // No current record: kResNoEntry. The byte length of the current record's
  // written form, plus the CRs inside field values that the writer leaves
  // out. A group value holding an LF: kResDataValueHasLineFeed.
  long GetDataSize();
  // Appends the whole written form of the current record to `out` (header with
  // `id` as in EditItem, the fields not deleted, the groups, the trailer),
  // byte for byte what the pieces above produce, with editLength and sizeDelta
  // updated exactly as EditItem ... EditItemEnd update them. Writes the record
  // whether or not it is marked deleted. On failure `out` is unchanged.
  // 0, kResDataNoCurrent, kResDataValueHasLineFeed or kResNoMemory.
  int EditRecord(std::string* out, const char* id);

  // ---- Selection and ordering ----

  // Condition setters: append an entry to their list (value null when `value`
  // is null or empty). 0 or kResNoMemory (the entry may then remain without
  // its value, which reads as empty).
  // Sort key: `weight` "1" ascending, "-1" descending, "0" stops the keys.
  int SetSortCondition(const char* name, const char* weight);
  // Lower bounds: a record fails when the named field's value is below.
  int SetLTCondition(const char* name, const char* value);
  int SetLTCondition(const char* name, int value);          // kind kS3KindNumber
  int SetLTCondition(const char* name, CS3DateStr& value);  // kind kS3KindDate
  // Upper bounds: a record fails when the named field's value is above.
  int SetHTCondition(const char* name, const char* value);
  int SetHTCondition(const char* name, int value);
  int SetHTCondition(const char* name, CS3DateStr& value);
  // The named field must equal one of the listed values.
  int SetEQCondition(const char* name, const char* value, int kind = kS3KindText);
  // The named field must differ from every listed value.
  int SetNEQCondition(const char* name, const char* value, int kind = kS3KindText);
  // The named field must contain one of the listed values (kind kS3KindPrefix:
  // begin with it).
  int SetEQAboutCondition(const char* name, const char* value, int kind = kS3KindText);
  // Only records with these IDs are collected.
  int SetIDCondition(int id);
  // Records with these IDs are not collected.
  int SetHiddenIDCondition(int id);

  // Condition list operations on any field list of this CS3Data's conditions:
  // append an entry; replace value and kind of the first entry named `name`
  // (or append one); unlink the first entry named `name` (0 also when there
  // is none). 0 or kResNoMemory.
  int AddField(const char* name, const char* value, _ST_ItemField** list, int kind);
  int ModField(const char* name, const char* value, _ST_ItemField** list, int kind);
  int DelField(const char* name, _ST_ItemField** list);

  // True when a record with this ID is not to be collected: idConditions is
  // not empty and lacks it, or hiddenIds holds it.
  bool IsDeleteID(int id) const;
  // Applies the five condition lists to the current record, which must be the
  // last of the list (the record just parsed), and drops it when s3killjudge
  // fails it: `previous` becomes the last record (or the list empty), current
  // null, itemCount - 1; lastId unchanged. Nothing without a current record or
  // conditions. 0.
  int DeleteData();
  // Removes every record that fails the five condition lists from this
  // CS3Data's list (s3datasieve), keeping itemCount, the cursors and the sort
  // array consistent (cursor on the first record, sort array released).
  // 0 or s3datasieve's failure.
  int SieveData();

  // Caps the memory held for records, fields, groups and values (0: no cap);
  // an allocation past it fails as out of memory.
  void SetMemoryLimit(size_t bytes) { arena_.SetLimit(bytes); }
  // Bytes of memory held for records, fields, groups and values.
  size_t MemoryHeld() const { return arena_.Held(); }

  // ---- Data (read and written directly by the record file accessor) ----

  int fd;                            // open file, -1 when none
  char tempPath[kComPathMax];        // backup copy path of the open file, "" when none
  char path[kComPathMax];            // full path of the open file
  int itemCount;                     // records in the list
  int lastId;                        // highest number read from a record ID
  _ST_Item* items;                   // first record; null when empty
  _ST_Item* current;                 // record cursor
  _ST_Item* previous;                // record linked just before the one last created
  _ST_ItemField* currentField;       // field cursor within the current record
  _ST_ItemFieldItems* currentGroup;  // group cursor within the current record
  _ST_ItemField* currentGroupValue;  // value cursor within the current group
  int sortCursor;                    // position in sortArray
  _ST_Item** sortArray;              // records in sort order (malloc'd); null when unsorted
  _ST_ItemField* lowerBounds;
  _ST_ItemField* upperBounds;
  _ST_ItemField* equalConditions;
  _ST_ItemField* notEqualConditions;
  _ST_ItemField* aboutConditions;
  _ST_ItemField* sortConditions;  // name = field, value = weight
  int* idConditions;              // malloc'd; null when none
  int idConditionCount;
  int* hiddenIds;  // malloc'd; null when none
  int hiddenIdCount;
  _ST_ItemField* saveFieldNames;  // when not empty, the only names the parser keeps
  long sizeDelta;                 // size change of the records rewritten so far
  long editLength;                // length of the text produced for the record being written

 private:
  friend class CS3DataParser;

  // Length-based forms used by the parser on unterminated line slices.
  int CreateItemN(const char* id, size_t n);
  int CreateFieldN(const char* name, size_t n);
  // CreateFieldN then SetValueN, with the node and its value text in one
  // piece of arena memory (the parser's common case: one allocation a field).
  int CreateFieldValueN(const char* name, size_t n, const char* value, size_t valueLength);
  int SetValueN(_ST_ItemField* field, const char* text, size_t n);
  int JointFieldValueN(const char* text, size_t n);
  int SetFieldItemsNameN(const char* name, size_t n);
  int AppendGroupValueN(_ST_ItemFieldItems* group, const char* text, size_t n,
                        _ST_ItemField** made);
  bool IsSaveFieldNameN(const char* name, size_t n) const;

  // Nodes from the arena (zeroed) or from the condition arena.
  // `extra` more bytes are allocated right behind the node (aligned to it).
  _ST_ItemField* NewField(CS3DataArena* arena, const char* name, size_t n, size_t extra = 0);
  // Links `f` in after the field cursor and makes it the cursor.
  void LinkField(_ST_ItemField* f);
  char* NewText(CS3DataArena* arena, size_t capacity);
  int SetValueIn(CS3DataArena* arena, _ST_ItemField* field, const char* text, size_t n);
  // Record cursor to `record`; the other cursors are cleared when it differs
  // from the current record.
  void MoveTo(_ST_Item* record);
  // Group cursor to `group`; the value cursor is cleared when it differs from
  // the cursor group.
  void MoveToGroup(_ST_ItemFieldItems* group);
  // The last record of the list (kept in tail_, repaired by walking).
  _ST_Item* LastItem();
  // The group named `group`, found or created; null: the group cursor.
  int FindOrMakeGroup(const char* group, int noCursorCode, _ST_ItemFieldItems** out);
  int AddNumericEntry(_ST_ItemField** head, _ST_ItemField** tail, int id, bool allowDuplicate,
                      int* existed, const char* anchor, _ST_ItemField** made);
  int AddIdTo(int** array, int* count, int* capacity, int id);
  void ReleaseSortArray();

  CS3DataArena arena_;      // records, fields, groups, values: released by init()
  CS3DataArena condArena_;  // condition entries: released by SetConditionClean()
  _ST_Item* tail_;          // last record of the list, or null
  int sortCount_;           // entries of sortArray
  int idConditionCapacity_;
  int hiddenIdCapacity_;
};

// ---- Selection and ordering on record lists ----------------------------------

// The sort conditions of the CS3Data being sorted (SortData sets it; it stays
// pointing at that list). s3datacomp reads it because the sort routine passes
// it no context.
extern _ST_ItemField* StpData;

// 1 (kJudgeDrop) when `record` fails the conditions, 0 (kJudgeKeep) when it
// passes, kResJudgeNoRecord without a record. Values compare byte for byte; a
// missing or null value is the empty text. For each field F of the record:
// a not-equal entry named like F with F's value; equal entries named like F
// none of which holds F's value; about entries named like F none of which is
// satisfied (empty entry value, or F's value contains it, or with
// kS3KindPrefix begins with it); F's value below the first lower bound named
// like F; the first upper bound named like F below F's value: fail. Then for
// names that are no field of the record: an equal, about or lower entry with
// a non-empty value, or a not-equal entry with the empty value: fail.
int s3killjudge(const _ST_ItemField* lower, const _ST_ItemField* upper, const _ST_ItemField* equal,
                const _ST_ItemField* notEqual, const _ST_ItemField* about, const _ST_Item* record);

// Comparison of two array elements of type _ST_Item* by StpData: for each
// sort entry, the first field of each record with its name (missing or empty:
// empty); a above b, or only a has a value: the entry's weight; a below b, or
// only b has a value: minus the weight; equal: the next entry. All equal: the
// IDs as numbers (1, -1 or 0). s3datacomp_d is the negation.
int s3datacomp(const void* a, const void* b);
int s3datacomp_d(const void* a, const void* b);

// Unlinks from `*list` every record that s3killjudge fails. 0;
// kResJudgeNoRecord for an empty list; kResSieveBadRecord when the test
// reported no record. The unlinked nodes stay with their owner (a CS3Data
// frees them at init). A CS3Data's own list goes through CS3Data::SieveData.
int s3datasieve(_ST_Item** list, const _ST_ItemField* lower, const _ST_ItemField* upper,
                const _ST_ItemField* equal, const _ST_ItemField* notEqual,
                const _ST_ItemField* about);

#endif  // S3_CS3DATA_H_
