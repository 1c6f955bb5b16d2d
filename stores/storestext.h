// Setting a field value from a caller's text without touching that text.
// Internal to stores/.
#ifndef STORES_STORESTEXT_H_
#define STORES_STORESTEXT_H_

class CS3String;

// value.Set(text) on a private copy of `text`: the number and date values
// strip a writable text in place, and the stores promise their callers that
// texts handed in as const char* stay as they were. Null stores the empty
// value. Returns the value's result, or -10 when a long text cannot be copied
// (value unchanged).
int storesSetText(CS3String& value, const char* text);

#endif  // STORES_STORESTEXT_H_
