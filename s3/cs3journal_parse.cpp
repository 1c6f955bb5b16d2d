// Reading a unit log from its bytes: what a crash of its writer may leave,
// and what is damage. The format is described in cs3journal.cpp.
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "s3/cs3journal_internal.h"

using namespace s3journal;

namespace {

// ---- Reading a log ------------------------------------------------------------------

constexpr size_t kSector = 512;  // what a power cut writes whole or not at all

// Reads "<len>:<text>" at *p; false when [*p, end) does not hold it.
bool ReadText(const char** p, const char* end, std::string* out) {
  unsigned long long len = 0;
  const char* q = *p;
  for (; q < end && *q >= '0' && *q <= '9'; ++q) len = len * 10 + static_cast<unsigned>(*q - '0');
  if (q == *p || q >= end || *q != ':' || q - *p > 18) return false;
  const char* text = q + 1;
  if (len > static_cast<unsigned long long>(end - text)) return false;
  out->assign(text, static_cast<size_t>(len));
  *p = text + len;
  return true;
}

bool ReadNumber(const char** p, const char* end, unsigned long long* out) {
  unsigned long long v = 0;
  const char* q = *p;
  for (; q < end && *q >= '0' && *q <= '9' && q - *p < 19; ++q) {
    v = v * 10 + static_cast<unsigned>(*q - '0');
  }
  if (q == *p || (q < end && *q >= '0' && *q <= '9')) return false;
  *out = v;
  *p = q;
  return true;
}

bool Skip(const char** p, const char* end, char c) {
  if (*p >= end || **p != c) return false;
  ++*p;
  return true;
}

// " <16 lowercase hex digits>\n" at *p, as the writer spells the checksum of
// [from, *p).
bool ReadSum(const char** p, const char* end, const char* from) {
  if (end - *p < 18 || (*p)[0] != ' ' || (*p)[17] != '\n') return false;
  uint64_t want = 0;
  for (const char* h = *p + 1; h < *p + 17; ++h) {
    const int digit = *h >= '0' && *h <= '9'   ? *h - '0'
                      : *h >= 'a' && *h <= 'f' ? *h - 'a' + 10
                                               : -1;
    if (digit < 0) return false;
    want = want << 4 | static_cast<uint64_t>(digit);
  }
  if (want != Checksum(from, static_cast<size_t>(*p - from))) return false;
  *p += 18;
  return true;
}

// The kind and generation that begin an entry of the second format at `p`.
bool ReadHead(const char* p, const char* end, unsigned long long* gen) {
  return p < end && ++p < end && Skip(&p, end, ' ') && ReadNumber(&p, end, gen) &&
         Skip(&p, end, ' ');
}

// The fields of an entry at *p, up to its checksum; `withGen` for the second
// format. False when [*p, end) does not hold them.
bool ReadFields(const char** p, const char* end, bool withGen, Entry* e) {
  const char* q = *p;
  unsigned long long tag = 0;
  if (q >= end) return false;
  e->kind = *q++;
  if (!Skip(&q, end, ' ')) return false;
  if (withGen && (!ReadNumber(&q, end, &e->gen) || !Skip(&q, end, ' '))) return false;
  if (!ReadNumber(&q, end, &tag) || tag > 0x7fffffffull || !Skip(&q, end, ' ') ||
      !ReadNumber(&q, end, &e->a) || !Skip(&q, end, ' ') || !ReadNumber(&q, end, &e->b) ||
      !Skip(&q, end, ' ') || !ReadText(&q, end, &e->p1) || !Skip(&q, end, ' ') ||
      !ReadText(&q, end, &e->p2)) {
    return false;
  }
  if (withGen && (!Skip(&q, end, ' ') || !ReadText(&q, end, &e->p3))) return false;
  e->tag = static_cast<int>(tag);
  *p = q;
  return true;
}

// The entry at `at` of `text` when it verifies.
bool ReadEntry(const std::string& text, size_t at, bool withGen, Entry* e) {
  *e = Entry();
  const char* start = text.data() + at;
  const char* end = text.data() + text.size();
  const char* q = start;
  if (at >= text.size() || !ReadFields(&q, end, withGen, e) || !ReadSum(&q, end, start)) {
    return false;
  }
  e->at = at;
  e->end = static_cast<size_t>(q - text.data());
  return true;
}

// What no writer writes into a verified entry: an unknown kind, a missing
// name. Null when the entry is one of a writer's.
const char* Unlike(const Entry& e, bool secondFormat) {
  if (strchr(secondFormat ? "CPBDKF" : "CPBDKAN", e.kind) == nullptr || e.kind == '\0') {
    return "an entry of a kind no writer writes";
  }
  if (e.kind != 'K' && e.kind != 'F' && e.p1.empty()) return "an entry that names no file";
  if ((e.kind == 'B' || e.kind == 'D') && e.p2.empty()) return "an entry that names no backup copy";
  return nullptr;
}

// Marks `view` damaged for `why` (at byte `at` of the log, when not 0). The
// files it names are those of its entries that verify where an entry may
// begin: of generation `*gen` in the second format, of the first format when
// `secondFormat` is false, of either and any generation when the header is
// not whole (`gen` null, `secondFormat` true).
void Damage(const std::string& text, const unsigned long long* gen, bool secondFormat,
            const std::string& why, size_t at, LogView* view) {
  view->state = LogView::kDamaged;
  view->why = at == 0 ? why : why + " (at byte " + std::to_string(at) + ")";
  view->entries.clear();
  const bool known = gen != nullptr || !secondFormat;
  std::set<std::string> seen;
  auto take = [&](size_t from) {
    for (const bool withGen : {true, false}) {
      Entry e;
      if ((known && withGen != secondFormat) || !ReadEntry(text, from, withGen, &e) ||
          (gen != nullptr && e.gen != *gen)) {
        continue;
      }
      if (e.kind != 'K' && !e.p1.empty() && seen.insert(e.p1).second) view->named.push_back(e.p1);
    }
  };
  take(static_cast<size_t>(kEntriesAt));
  for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', nl + 1)) {
    take(nl + 1);
  }
}

}  // namespace

namespace s3journal {

// What a crash of the writer leaves (cs3journal.h) and how each rule follows:
//  - the header is written in one piece within the first sector, so it is
//    whole, and the rest of that sector is never written;
//  - entries are written in order, and every write before the last one was
//    flushed whole, so they follow one another whole from offset 512; the
//    last write may be torn where a sector ends, with the file reaching at
//    least that far, and what lies beyond the tear is what was there before:
//    entries of earlier generations, which a unit reusing the log overwrote
//    from offset 512;
//  - the header's generation is the newest: a unit writes entries only after
//    the commit that made it the header's.
void ParseLog(const std::string& text, LogView* view) {
  *view = LogView();
  if (text.empty()) {
    view->state = LogView::kEmpty;
    return;
  }
  const size_t v1 = sizeof(kHeaderV1) - 1, v2 = sizeof(kHeaderV2) - 1;
  const bool second = text.compare(0, v1, kHeaderV1) != 0;
  unsigned long long gen = 0;
  size_t from = v1;
  if (second) {
    const char* p = text.data();
    const char* end = p + text.size();
    const char* q = p + v2;
    if (text.compare(0, v2, kHeaderV2) != 0 || !ReadNumber(&q, end, &gen) || !ReadSum(&q, end, p)) {
      return Damage(text, nullptr, true, "it does not begin with a whole header", 0, view);
    }
    from = static_cast<size_t>(kEntriesAt);
    const size_t stray = text.find_first_not_of('\0', static_cast<size_t>(q - p));
    if (stray < from) {
      return Damage(text, &gen, true, "bytes follow its header in the first sector", stray, view);
    }
    if (text.size() <= from) return;
  }
  const unsigned long long* own = second ? &gen : nullptr;
  size_t at = from;
  for (Entry e; ReadEntry(text, at, second, &e) && (!second || e.gen == gen); at = e.end) {
    if (const char* odd = Unlike(e, second)) return Damage(text, own, second, odd, e.at, view);
    view->entries.push_back(e);
  }
  if (at < text.size()) {
    Entry e;
    unsigned long long head = 0;
    const bool verifies = ReadEntry(text, at, second, &e);
    const size_t sectorEnd = (at / kSector + 1) * kSector;
    if (second && verifies && e.gen > gen) {
      return Damage(text, own, true, "an entry of a later generation than its header's", at, view);
    }
    if (second && !verifies && ReadHead(text.data() + at, text.data() + text.size(), &head) &&
        head == gen) {
      // The unit wrote it, so a tear must explain why it does not verify:
      // the file reaches the sector's end, and the entry goes beyond it.
      Entry fields;
      const char* q = text.data() + at;
      const bool sized = ReadFields(&q, text.data() + text.size(), true, &fields);
      if (text.size() < sectorEnd ||
          (sized && static_cast<size_t>(q - text.data()) + 18 <= sectorEnd)) {
        return Damage(text, own, true,
                      "an entry of the unit does not verify, and no write tears there", at, view);
      }
    }
    for (size_t nl = text.find('\n', at); nl != std::string::npos && nl + 1 < text.size();
         nl = text.find('\n', nl + 1)) {
      if (ReadEntry(text, nl + 1, second, &e) && (!second || e.gen >= gen)) {
        return Damage(text, own, second, "an entry that verifies follows one that does not", nl + 1,
                      view);
      }
    }
  }
  view->state = view->entries.empty() ? LogView::kIdle : LogView::kUnit;
}

}  // namespace s3journal
