// Helpers for the tests (and the fuzz target) of the parsed record file:
// describe the parsed structure in one line, list the records' offsets, write
// it back.
#ifndef TESTS_S3_CS3DATA_TESTING_H_
#define TESTS_S3_CS3DATA_TESTING_H_

#include <string>
#include <vector>

#include "s3/cs3data.h"
#include "s3/cs3data_parse.h"

// "id{name=value|...|[group:v1,v2]}" for each record in list order; deleted
// records, fields and values are marked with a leading "-". LF in a value
// shows as "\n" (two characters).
inline std::string Describe(const CS3Data& data) {
  auto text = [](const char* v) {
    std::string out;
    for (const char* p = v == nullptr ? "" : v; *p != '\0'; ++p) {
      if (*p == '\n') {
        out += "\\n";
      } else {
        out += *p;
      }
    }
    return out;
  };
  std::string out;
  for (const _ST_Item* r = data.items; r != nullptr; r = r->next) {
    if (r->deleted) out += "-";
    out += r->id;
    out += "{";
    bool first = true;
    for (const _ST_ItemField* f = r->fields; f != nullptr; f = f->next) {
      if (!first) out += "|";
      first = false;
      if (f->deleted) out += "-";
      out += text(f->name) + "=" + text(f->value);
    }
    for (const _ST_ItemFieldItems* g = r->groups; g != nullptr; g = g->next) {
      if (!first) out += "|";
      first = false;
      out += "[" + std::string(g->name) + ":";
      for (const _ST_ItemField* v = g->values; v != nullptr; v = v->next) {
        if (v != g->values) out += ",";
        if (v->deleted) out += "-";
        out += text(v->value);
      }
      out += "]";
    }
    out += "}";
  }
  return out;
}

// filePointer and nextFilePointer of every record, in list order.
inline std::vector<long> Offsets(const CS3Data& data) {
  std::vector<long> out;
  for (const _ST_Item* r = data.items; r != nullptr; r = r->next) {
    out.push_back(r->filePointer);
    out.push_back(r->nextFilePointer);
  }
  return out;
}

inline std::string Written(CS3Data* data) {
  std::string out;
  s3DataWrite(data, &out);
  return out;
}

#endif  // TESTS_S3_CS3DATA_TESTING_H_
