// A small JSON writer for schedulerctl's machine-readable output. It builds
// one document (or one line of a line-per-object stream) in memory; the
// caller prints Text() when done.
//
// Output is pure ASCII and always valid JSON when the calls nest correctly:
// quotes, backslashes, control bytes (below 0x20, and 0x7f) and every byte
// above 127 are escaped. A valid UTF-8 sequence becomes its code point
// (\uXXXX, a surrogate pair above U+FFFF); a byte that is not part of a valid
// sequence is read as Latin-1 (\u00XX), so record files in a legacy encoding
// still come out readable and nothing is dropped. Commas and the colon after
// a key are put in by the writer.
#ifndef TOOLS_CTL_JSON_H_
#define TOOLS_CTL_JSON_H_

#include <string>
#include <vector>

class CtlJson {
 public:
  CtlJson() = default;
  CtlJson(const CtlJson&) = delete;
  CtlJson& operator=(const CtlJson&) = delete;

  // Containers. REQUIRES: every Begin is matched by its End.
  CtlJson& BeginObject();
  CtlJson& EndObject();
  CtlJson& BeginArray();
  CtlJson& EndArray();

  // The key of the next member. REQUIRES: inside an object, followed by one
  // value or container.
  CtlJson& Key(const char* key);

  // Values. String(nullptr) writes null: the stores treat a null text as
  // an empty one, but a reader may want to tell "never set" apart.
  CtlJson& String(const char* text);
  CtlJson& Int(long long value);
  CtlJson& Bool(bool value);
  CtlJson& Null();

  // Shorthands for Key(key) followed by the value.
  CtlJson& Member(const char* key, const char* text) { return Key(key).String(text); }
  CtlJson& Member(const char* key, long long value) { return Key(key).Int(value); }

  // The text written so far.
  const std::string& Text() const { return out_; }

  // Appends `text` to `out` as a quoted JSON string.
  static void AppendQuoted(const char* text, std::string* out);

 private:
  // Puts a comma before a value that is not the first of its container.
  void BeforeValue();

  std::string out_;
  // One entry per open container: whether it has a member yet.
  std::vector<bool> hasMember_;
  bool afterKey_ = false;
};

#endif  // TOOLS_CTL_JSON_H_
