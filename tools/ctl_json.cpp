#include "tools/ctl_json.h"

#include <cstdio>

namespace {

void appendEscape(unsigned code, std::string* out) {
  char buffer[8];
  snprintf(buffer, sizeof(buffer), "\\u%04x", code & 0xffffu);
  out->append(buffer);
}

// Length of the valid UTF-8 sequence at `p` and its code point, or 0 when
// the bytes there do not form one (overlong forms, surrogates and values
// above U+10FFFF are not valid).
int decodeUtf8(const unsigned char* p, unsigned* code) {
  unsigned c = p[0];
  int length;
  unsigned min;
  if (c >= 0xc2 && c <= 0xdf) {
    length = 2, min = 0x80, c &= 0x1f;
  } else if (c >= 0xe0 && c <= 0xef) {
    length = 3, min = 0x800, c &= 0x0f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    length = 4, min = 0x10000, c &= 0x07;
  } else {
    return 0;
  }
  for (int i = 1; i < length; ++i) {
    // A terminator is not a continuation byte, so this never reads past it.
    if ((p[i] & 0xc0) != 0x80) return 0;
    c = (c << 6) | (p[i] & 0x3f);
  }
  if (c < min || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) return 0;
  *code = c;
  return length;
}

}  // namespace

void CtlJson::AppendQuoted(const char* text, std::string* out) {
  out->push_back('"');
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != '\0') {
    unsigned char c = *p;
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out->append("\\n");
    } else if (c == '\t') {
      out->append("\\t");
    } else if (c == '\r') {
      out->append("\\r");
    } else if (c < 0x20 || c == 0x7f) {
      appendEscape(c, out);
    } else if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else {
      unsigned code = 0;
      int length = decodeUtf8(p, &code);
      if (length == 0) {
        appendEscape(c, out);  // Latin-1
      } else if (code >= 0x10000) {
        code -= 0x10000;
        appendEscape(0xd800 + (code >> 10), out);
        appendEscape(0xdc00 + (code & 0x3ff), out);
      } else {
        appendEscape(code, out);
      }
      p += length > 0 ? length : 1;
      continue;
    }
    ++p;
  }
  out->push_back('"');
}

void CtlJson::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!hasMember_.empty()) {
    if (hasMember_.back()) out_.push_back(',');
    hasMember_.back() = true;
  }
}

CtlJson& CtlJson::BeginObject() {
  BeforeValue();
  out_.push_back('{');
  hasMember_.push_back(false);
  return *this;
}

CtlJson& CtlJson::EndObject() {
  out_.push_back('}');
  if (!hasMember_.empty()) hasMember_.pop_back();
  return *this;
}

CtlJson& CtlJson::BeginArray() {
  BeforeValue();
  out_.push_back('[');
  hasMember_.push_back(false);
  return *this;
}

CtlJson& CtlJson::EndArray() {
  out_.push_back(']');
  if (!hasMember_.empty()) hasMember_.pop_back();
  return *this;
}

CtlJson& CtlJson::Key(const char* key) {
  BeforeValue();
  AppendQuoted(key, &out_);
  out_.push_back(':');
  afterKey_ = true;
  return *this;
}

CtlJson& CtlJson::String(const char* text) {
  if (text == nullptr) return Null();
  BeforeValue();
  AppendQuoted(text, &out_);
  return *this;
}

CtlJson& CtlJson::Int(long long value) {
  BeforeValue();
  out_.append(std::to_string(value));
  return *this;
}

CtlJson& CtlJson::Bool(bool value) {
  BeforeValue();
  out_.append(value ? "true" : "false");
  return *this;
}

CtlJson& CtlJson::Null() {
  BeforeValue();
  out_.append("null");
  return *this;
}
