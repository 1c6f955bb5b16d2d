// Arbitrary bytes through parse, write, parse, write: the second write must
// equal the first, the records read back must be the records written (up to
// what the format drops, see ReadBack), a parse fed in three chunks or byte
// by byte (every line then gathered and read on its own, none through the
// single-pass store of value lines) must hold exactly what the parse fed in
// one holds, a parse for the
// first record's ID must yield that same record, and a parse for the last
// record's ID (passing over the records before it) must give the same in
// three chunks as in one.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "s3/cs3data.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

std::vector<long> Offsets(const CS3Data& data) {
  std::vector<long> out;
  for (const _ST_Item* r = data.items; r != nullptr; r = r->next) {
    out.push_back(r->filePointer);
    out.push_back(r->nextFilePointer);
  }
  return out;
}

// Every ID, name and value in list order, exactly as held, each with its
// length, the values' length and capacity bookkeeping, and where the field,
// group and value cursors and each group's last value stand.
std::string Dump(const CS3Data& data) {
  std::string out;
  auto add = [&out](char tag, const char* text) {
    if (text == nullptr) text = "";
    out += tag + std::to_string(strlen(text)) + ":" + text;
  };
  auto value = [&](const _ST_ItemField* f) {
    add('=', f->value);
    out += "/" + std::to_string(f->valueLength) + "/" + std::to_string(f->valueCapacity);
    if (f == data.currentField) out += "<field";
    if (f == data.currentGroupValue) out += "<value";
  };
  for (const _ST_Item* r = data.items; r != nullptr; r = r->next) {
    add('R', r->id);
    for (const _ST_ItemField* f = r->fields; f != nullptr; f = f->next) {
      add('F', f->name);
      value(f);
    }
    for (const _ST_ItemFieldItems* g = r->groups; g != nullptr; g = g->next) {
      add('G', g->name);
      if (g == data.currentGroup) out += "<group";
      if (g == r->lastGroup) out += "<last";
      for (const _ST_ItemField* v = g->values; v != nullptr; v = v->next) {
        value(v);
        if (v == g->lastValue) out += "<last";
      }
    }
  }
  return out;
}

std::string WriteAll(CS3Data* data) {
  std::string out;
  int r = s3DataWrite(data, &out);
  Check(r == 0 || (r == kResNoEntry && data->IsEmpty()));
  return out;
}

std::string DropTrailingCr(const char* text) {
  std::string s = text == nullptr ? "" : text;
  while (!s.empty() && s.back() == '\r') s.pop_back();
  return s;
}

std::string DropAllCr(const char* text) {
  std::string s;
  for (const char* p = text == nullptr ? "" : text; *p != '\0'; ++p) {
    if (*p != '\r') s += *p;
  }
  return s;
}

// `again` is what reading the written form of `data` gave: the same records,
// fields and groups, except that field values lost their CRs and IDs, group
// names and group values their trailing CRs (an ID left empty reads as "1").
bool ReadBack(const CS3Data& data, const CS3Data& again) {
  const _ST_Item* a = data.items;
  const _ST_Item* b = again.items;
  for (; a != nullptr && b != nullptr; a = a->next, b = b->next) {
    std::string id = DropTrailingCr(a->id);
    if ((id.empty() ? "1" : id) != b->id) return false;
    const _ST_ItemField* f = a->fields;
    const _ST_ItemField* g = b->fields;
    for (; f != nullptr && g != nullptr; f = f->next, g = g->next) {
      if (strcmp(f->name, g->name) != 0 || DropAllCr(f->value) != DropAllCr(g->value)) {
        return false;
      }
    }
    if (f != nullptr || g != nullptr) return false;
    const _ST_ItemFieldItems* x = a->groups;
    const _ST_ItemFieldItems* y = b->groups;
    for (; x != nullptr && y != nullptr; x = x->next, y = y->next) {
      if (DropTrailingCr(x->name) != y->name) return false;
      const _ST_ItemField* v = x->values;
      const _ST_ItemField* w = y->values;
      for (; v != nullptr && w != nullptr; v = v->next, w = w->next) {
        if (DropTrailingCr(v->value) != (w->value == nullptr ? "" : w->value)) return false;
      }
      if (v != nullptr || w != nullptr) return false;
    }
    if (x != nullptr || y != nullptr) return false;
  }
  return a == nullptr && b == nullptr;
}

// Split points chosen by the input: a hash of all its bytes, so that every
// mutation moves them.
void SplitPoints(const uint8_t* data, size_t size, size_t* a, size_t* b) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211ull;
  *a = static_cast<size_t>(h % (size + 1));
  *b = *a + static_cast<size_t>((h >> 32) % (size - *a + 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  CS3Data first;
  int r1 = s3DataParse(&first, text, size, nullptr, nullptr);
  Check(r1 == 0 || r1 == kResNoEntry);
  Check((r1 == 0) == !first.IsEmpty());

  size_t a = 0;
  size_t b = 0;
  SplitPoints(data, size, &a, &b);
  CS3Data chunked;
  {
    CS3DataParser parser(&chunked, nullptr, nullptr);
    Check(parser.Feed(text, a) == 0);
    Check(parser.Feed(text + a, b - a) == 0);
    Check(parser.Feed(text + b, size - b) == 0);
    Check(parser.Finish() == r1);
  }
  Check(Offsets(first) == Offsets(chunked));
  Check(Dump(first) == Dump(chunked));
  CS3Data bytewise;
  {
    CS3DataParser parser(&bytewise, nullptr, nullptr);
    for (size_t i = 0; i < size; ++i) Check(parser.Feed(text + i, 1) == 0);
    Check(parser.Finish() == r1);
  }
  Check(Offsets(first) == Offsets(bytewise));
  Check(Dump(first) == Dump(bytewise));
  std::string written = WriteAll(&first);
  Check(WriteAll(&chunked) == written);
  if (r1 != 0) return 0;

  CS3Data second;
  Check(s3DataParse(&second, written.data(), written.size(), nullptr, nullptr) == 0);
  Check(ReadBack(first, second));
  // parse, write, parse, write: the second write equals the first.
  Check(WriteAll(&second) == written);

  // The first record again, alone, through the wanted-ID path. A record line
  // without an ID reads as "1" but is not found by the wanted ID "1".
  first.firstElement();
  std::string id = first.current->id;
  if (id != "1" && id.size() < static_cast<size_t>(kS3NameMax)) {
    CS3Data wanted;
    Check(s3DataParse(&wanted, text, size, id.c_str(), id.c_str()) == 0);
    Check(wanted.GetCount() == 1);
    Check(wanted.GetStartPoint() == first.GetStartPoint());
    Check(wanted.GetNextPoint() == first.GetNextPoint());
    std::string one;
    std::string other;
    Check(wanted.EditRecord(&one, nullptr) == 0);
    Check(first.EditRecord(&other, nullptr) == 0);
    Check(one == other);
  }

  first.lastElement();
  id = first.current->id;
  CS3Data last;
  int r2 = s3DataParse(&last, text, size, id.c_str(), nullptr);
  CS3Data lastChunked;
  {
    CS3DataParser parser(&lastChunked, id.c_str(), nullptr);
    Check(parser.Feed(text, a) >= 0);
    Check(parser.Feed(text + a, b - a) >= 0);
    Check(parser.Feed(text + b, size - b) >= 0);
    Check(parser.Finish() == r2);
  }
  Check(Offsets(last) == Offsets(lastChunked));
  Check(WriteAll(&last) == WriteAll(&lastChunked));
  return 0;
}
