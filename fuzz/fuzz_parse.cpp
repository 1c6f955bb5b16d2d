// Arbitrary bytes through parse, write, parse, write: the second write must
// equal the first, the records read back must be the records written (up to
// what the format drops, see Dump), a parse fed in three chunks or byte
// by byte (every line then gathered and read on its own, none through the
// single-pass store of value lines) must hold exactly what the parse fed in
// one holds, a parse for the
// first record's ID must yield that same record, and a parse for the last
// record's ID (passing over the records before it) must give the same in
// three chunks as in one.
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "s3/cs3data.h"
#include "s3/cs3data_parse.h"
#include "tests/s3/cs3data_testing.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

// What Dump shows: everything as held; or only what reading the written form
// gives back (no cursors, no capacity bookkeeping), with kReadBack as that
// reading turns the text it was written from: field values lose their CRs,
// IDs, group names and group values their trailing CRs, and an ID left empty
// reads as "1".
enum DumpMode { kAsHeld, kContent, kReadBack };
enum CrCut { kKeepCr, kTrailingCr, kEveryCr };

// Every ID, name and value in list order, each with its length; as held also
// the values' length and capacity bookkeeping, and where the field, group and
// value cursors and each group's last value stand.
std::string Dump(const CS3Data& data, DumpMode mode = kAsHeld) {
  std::string out;
  auto add = [&out, mode](char tag, const char* text, CrCut cut) {
    std::string s = text == nullptr ? "" : text;
    if (mode == kReadBack) {
      if (cut == kEveryCr) s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
      while (cut == kTrailingCr && !s.empty() && s.back() == '\r') s.pop_back();
      if (tag == 'R' && s.empty()) s = "1";
    }
    out += tag + std::to_string(s.size()) + ":" + s;
  };
  auto mark = [&out, mode](bool at, const char* what) {
    if (mode == kAsHeld && at) out += what;
  };
  auto value = [&](const _ST_ItemField* f, CrCut cut) {
    add('=', f->value, cut);
    if (mode == kAsHeld) {
      out += "/" + std::to_string(f->valueLength) + "/" + std::to_string(f->valueCapacity);
    }
    mark(f == data.currentField, "<field");
    mark(f == data.currentGroupValue, "<value");
  };
  for (const _ST_Item* r = data.items; r != nullptr; r = r->next) {
    add('R', r->id, kTrailingCr);
    for (const _ST_ItemField* f = r->fields; f != nullptr; f = f->next) {
      add('F', f->name, kKeepCr);
      value(f, kEveryCr);
    }
    for (const _ST_ItemFieldItems* g = r->groups; g != nullptr; g = g->next) {
      add('G', g->name, kTrailingCr);
      mark(g == data.currentGroup, "<group");
      mark(g == r->lastGroup, "<last");
      for (const _ST_ItemField* v = g->values; v != nullptr; v = v->next) {
        value(v, kTrailingCr);
        mark(v == g->lastValue, "<last");
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

// Feeds `text` to a parser in the pieces between successive `cuts`; every
// feed goes on (exactly kGoOn when no ID is wanted). Returns Finish().
int ParseInPieces(CS3Data* data, const char* wanted, const char* text,
                  const std::vector<size_t>& cuts) {
  CS3DataParser parser(data, wanted, nullptr);
  for (size_t i = 1; i < cuts.size(); ++i) {
    const int fed = parser.Feed(text + cuts[i - 1], cuts[i] - cuts[i - 1]);
    Check(wanted == nullptr ? fed == CS3DataParser::kGoOn : fed >= 0);
  }
  return parser.Finish();
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
  Check(ParseInPieces(&chunked, nullptr, text, {0, a, b, size}) == r1);
  Check(Offsets(first) == Offsets(chunked));
  Check(Dump(first) == Dump(chunked));
  std::vector<size_t> everyByte(size + 1);
  for (size_t i = 0; i <= size; ++i) everyByte[i] = i;
  CS3Data bytewise;
  Check(ParseInPieces(&bytewise, nullptr, text, everyByte) == r1);
  Check(Offsets(first) == Offsets(bytewise));
  Check(Dump(first) == Dump(bytewise));
  std::string written = WriteAll(&first);
  Check(WriteAll(&chunked) == written);
  if (r1 != 0) return 0;

  CS3Data second;
  Check(s3DataParse(&second, written.data(), written.size(), nullptr, nullptr) == 0);
  Check(Dump(first, kReadBack) == Dump(second, kContent));
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
  Check(ParseInPieces(&lastChunked, id.c_str(), text, {0, a, b, size}) == r2);
  Check(Offsets(last) == Offsets(lastChunked));
  Check(WriteAll(&last) == WriteAll(&lastChunked));
  return 0;
}
