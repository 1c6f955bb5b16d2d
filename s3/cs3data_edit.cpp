// CS3Data: the written form of a record, as pieces (EditItem, EditField,
// EditFieldItems, EditItemEnd) and whole (EditRecord, s3DataWrite). Both are
// built from the same length and put functions below, so they cannot differ.
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>

#include "s3/cs3data.h"
#include "s3/cs3data_parse.h"
#include "s3/cs3data_internal.h"

namespace {

constexpr char kObjectPrefix[] = "object ";
constexpr size_t kObjectPrefixLength = sizeof(kObjectPrefix) - 1;
constexpr char kEndLine[] = "end\n";
constexpr size_t kEndLineLength = sizeof(kEndLine) - 1;

struct Text {
  const char* p;
  size_t n;
};

// IDs, group names and group values are written without trailing CRs. The
// reader drops a CR before the LF, so a text ending in CR (a parsed one does
// when its line ended in two) would read back one CR shorter and every later
// write would differ from the one before; without them a written file reads
// back to a record that writes the same bytes again. An ID left empty is
// written as "1", which is what the reader makes of an "object" line without
// an ID.
Text WithoutTrailingCr(const char* p, size_t n) {
  while (n > 0 && p[n - 1] == '\r') --n;
  return Text{p, n};
}

Text IdText(const char* id, size_t max) {
  Text t = WithoutTrailingCr(id, strnlen(id, max));
  if (t.n == 0) return Text{"1", 1};
  return t;
}

size_t NameLength(const char* name) {
  return strnlen(name, kS3NameSize);
}

size_t HeaderLength(Text id) {
  return kObjectPrefixLength + id.n + 1;
}

char* PutHeader(char* d, Text id) {
  memcpy(d, kObjectPrefix, kObjectPrefixLength);
  d += kObjectPrefixLength;
  memcpy(d, id.p, id.n);
  d += id.n;
  *d++ = '\n';
  return d;
}

size_t ValueLength(const _ST_ItemField* f) {
  return f->value == nullptr ? 0 : f->valueLength;
}

size_t CountByte(const char* p, size_t n, char c) {
  size_t count = 0;
  const char* end = p + n;
  while (p < end) {
    const void* hit = memchr(p, c, static_cast<size_t>(end - p));
    if (hit == nullptr) break;
    ++count;
    p = static_cast<const char*>(hit) + 1;
  }
  return count;
}

struct FieldScan {
  size_t lineFeeds;
  size_t carriageReturns;
};

FieldScan ScanValue(const _ST_ItemField* f) {
  size_t n = ValueLength(f);
  if (n == 0) return FieldScan{0, 0};
  return FieldScan{CountByte(f->value, n, '\n'), CountByte(f->value, n, '\r')};
}

// name "=" value LF, with LF written as LF TAB and CR left out.
size_t FieldLength(const _ST_ItemField* f, const FieldScan& s) {
  return NameLength(f->name) + 1 + ValueLength(f) + s.lineFeeds - s.carriageReturns + 1;
}

char* PutField(char* d, const _ST_ItemField* f, const FieldScan& s) {
  size_t nameLength = NameLength(f->name);
  memcpy(d, f->name, nameLength);
  d += nameLength;
  *d++ = '=';
  size_t n = ValueLength(f);
  if (s.lineFeeds == 0 && s.carriageReturns == 0) {
    if (n != 0) memcpy(d, f->value, n);
    d += n;
  } else {
    for (size_t i = 0; i < n; ++i) {
      char c = f->value[i];
      if (c == '\r') continue;
      *d++ = c;
      if (c == '\n') *d++ = '\t';
    }
  }
  *d++ = '\n';
  return d;
}

Text GroupValueText(const _ST_ItemField* v) {
  return WithoutTrailingCr(s3data::ValueOf(v), ValueLength(v));
}

Text GroupNameText(const _ST_ItemFieldItems* g) {
  return WithoutTrailingCr(g->name, NameLength(g->name));
}

// "object " name LF, then name "=" value LF for each value not deleted, then
// "end" LF. kResDataValueHasLineFeed when a value would break the block.
int GroupLength(const _ST_ItemFieldItems* g, size_t* length) {
  size_t n = HeaderLength(GroupNameText(g)) + kEndLineLength;
  for (const _ST_ItemField* v = g->values; v != nullptr; v = v->next) {
    if (v->deleted) continue;
    Text t = GroupValueText(v);
    if (memchr(t.p, '\n', t.n) != nullptr) return kResDataValueHasLineFeed;
    n += NameLength(v->name) + 1 + t.n + 1;
  }
  *length = n;
  return kResOk;
}

char* PutGroup(char* d, const _ST_ItemFieldItems* g) {
  d = PutHeader(d, GroupNameText(g));
  for (const _ST_ItemField* v = g->values; v != nullptr; v = v->next) {
    if (v->deleted) continue;
    size_t nameLength = NameLength(v->name);
    memcpy(d, v->name, nameLength);
    d += nameLength;
    *d++ = '=';
    Text t = GroupValueText(v);
    memcpy(d, t.p, t.n);
    d += t.n;
    *d++ = '\n';
  }
  memcpy(d, kEndLine, kEndLineLength);
  return d + kEndLineLength;
}

Text HeaderId(const _ST_Item* record, const char* id) {
  if (id != nullptr && id[0] != '\0') return IdText(id, kS3NameMax);
  return IdText(record->id, kS3NameSize);
}

// Length of the whole written form of `record`; `droppedCr` (optional) gets
// the CRs of field values that the form leaves out.
int RecordLength(const _ST_Item* record, const char* id, size_t* length, size_t* droppedCr) {
  size_t n = HeaderLength(HeaderId(record, id)) + kEndLineLength;
  size_t cr = 0;
  for (const _ST_ItemField* f = record->fields; f != nullptr; f = f->next) {
    if (f->deleted) continue;
    FieldScan s = ScanValue(f);
    n += FieldLength(f, s);
    cr += s.carriageReturns;
  }
  for (const _ST_ItemFieldItems* g = record->groups; g != nullptr; g = g->next) {
    size_t groupLength = 0;
    int r = GroupLength(g, &groupLength);
    if (r != kResOk) return r;
    n += groupLength;
  }
  *length = n;
  if (droppedCr != nullptr) *droppedCr = cr;
  return kResOk;
}

}  // namespace

int CS3Data::EditItem(char* buf, const char* id) {
  editLength = 0;
  buf[0] = '\0';
  if (current == nullptr) return kResDataNoCurrent;
  Text t = HeaderId(current, id);
  char* end = PutHeader(buf, t);  // at most 7 + 64 + 1 bytes
  *end = '\0';
  editLength = static_cast<long>(end - buf);
  return kResOk;
}

int CS3Data::EditField(char** out) {
  *out = nullptr;
  if (currentField == nullptr) return kResDataNoCurrent;
  FieldScan s = ScanValue(currentField);
  size_t length = FieldLength(currentField, s);
  size_t size = ValueLength(currentField) + 1 + 3 * (s.lineFeeds + 1) + 95;
  char* text = static_cast<char*>(malloc(size));
  if (text == nullptr) return kResNoMemory;
  if (length + 1 > size) {
    free(text);
    return kResDataTooLong;
  }
  char* end = PutField(text, currentField, s);
  *end = '\0';
  *out = text;
  editLength += static_cast<long>(length);
  return kResOk;
}

int CS3Data::EditFieldItems(char** out) {
  *out = nullptr;
  if (currentGroup == nullptr) return kResDataNoCurrent;
  size_t length = 0;
  int r = GroupLength(currentGroup, &length);
  if (r != kResOk) return r;
  size_t size = 128;
  for (const _ST_ItemField* v = currentGroup->values; v != nullptr; v = v->next) {
    size += 72 + ValueLength(v);
  }
  char* text = static_cast<char*>(malloc(size));
  if (text == nullptr) return kResNoMemory;
  if (length + 1 > size) {
    free(text);
    return kResDataTooLong;
  }
  char* end = PutGroup(text, currentGroup);
  *end = '\0';
  *out = text;
  editLength += static_cast<long>(length);
  return kResOk;
}

int CS3Data::EditItemEnd(char* buf) {
  buf[0] = '\0';
  if (current == nullptr) return kResDataNoCurrent;
  memcpy(buf, kEndLine, kEndLineLength + 1);
  editLength += static_cast<long>(kEndLineLength);
  sizeDelta += editLength - (current->nextFilePointer - current->filePointer);
  return kResOk;
}

int CS3Data::EditItemDel() {
  if (current == nullptr) return kResDataNoCurrent;
  sizeDelta -= current->nextFilePointer - current->filePointer;
  return kResOk;
}

long CS3Data::GetDataSize() {
  if (current == nullptr) return kResNoEntry;
  size_t length = 0;
  size_t droppedCr = 0;
  int r = RecordLength(current, nullptr, &length, &droppedCr);
  if (r != kResOk) return r;
  return static_cast<long>(length + droppedCr);
}

int CS3Data::EditRecord(std::string* out, const char* id) {
  if (current == nullptr) return kResDataNoCurrent;
  size_t length = 0;
  int r = RecordLength(current, id, &length, nullptr);
  if (r != kResOk) return r;
  size_t old = out->size();
  try {
    out->resize(old + length);
  } catch (const std::exception&) {  // bad_alloc, length_error
    return kResNoMemory;
  }
  char* d = &(*out)[old];
  d = PutHeader(d, HeaderId(current, id));
  for (const _ST_ItemField* f = current->fields; f != nullptr; f = f->next) {
    if (!f->deleted) d = PutField(d, f, ScanValue(f));
  }
  for (const _ST_ItemFieldItems* g = current->groups; g != nullptr; g = g->next) {
    d = PutGroup(d, g);
  }
  memcpy(d, kEndLine, kEndLineLength);
  editLength = static_cast<long>(length);
  sizeDelta += editLength - (current->nextFilePointer - current->filePointer);
  return kResOk;
}

int s3DataWrite(CS3Data* data, std::string* out) {
  if (data->IsEmpty()) return kResNoEntry;
  for (data->firstSortElement(); !data->IsEndOfData(); data->nextSortElement()) {
    if (data->IsDelete()) {
      data->EditItemDel();
      continue;
    }
    int r = data->EditRecord(out, nullptr);
    if (r != kResOk) return r;
  }
  return kResOk;
}
