// Arbitrary bytes read as a unit log. The reader takes any bytes; the entries
// it gives for the unit's each verify (checked against a checksum computed
// here, not the reader's) and follow one another from where entries begin;
// a damaged log says why and gives no entry to play back; and the log cut
// right after those entries (a crash before anything after them reached the
// disk) reads as the same unit, never as damage.
#include <stdint.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "s3/cs3journal_internal.h"

namespace {

using s3journal::LogView;

void Check(bool ok) {
  if (!ok) abort();
}

// The line [e.at, e.end) ends in " <16 hex digits of FNV-1a over the rest>\n".
bool Verifies(const std::string& text, const s3journal::Entry& e) {
  if (e.end > text.size() || e.end < e.at + 18) return false;
  uint64_t h = 1469598103934665603ull;
  for (size_t i = e.at; i < e.end - 18; ++i) {
    h = (h ^ static_cast<unsigned char>(text[i])) * 1099511628211ull;
  }
  char sum[24];
  snprintf(sum, sizeof sum, " %016llx\n", static_cast<unsigned long long>(h));
  return text.compare(e.end - 18, 18, sum) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  LogView view;
  s3journal::ParseLog(text, &view);
  Check((view.state == LogView::kEmpty) == text.empty());
  Check((view.state == LogView::kDamaged) == !view.why.empty());
  Check((view.state == LogView::kUnit) == !view.entries.empty());
  size_t at = text.compare(0, 12, "s3journal 1\n") == 0 ? 12 : 512;
  for (const s3journal::Entry& e : view.entries) {
    Check(e.at == at && Verifies(text, e));
    at = e.end;
  }
  if (view.state != LogView::kUnit && view.state != LogView::kIdle) return 0;
  LogView cut;
  s3journal::ParseLog(text.substr(0, at), &cut);
  Check(cut.state == view.state && cut.entries.size() == view.entries.size());
  for (size_t i = 0; i < cut.entries.size(); ++i) {
    Check(cut.entries[i].at == view.entries[i].at && cut.entries[i].p3 == view.entries[i].p3);
  }
  return 0;
}
