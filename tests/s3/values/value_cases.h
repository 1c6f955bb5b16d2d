// Table runner shared by the value tests.
#ifndef TESTS_S3_VALUES_VALUE_CASES_H_
#define TESTS_S3_VALUES_VALUE_CASES_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

// One Set(text) case; a null `stored` means the value held before must stay.
struct SetCase {
  const char* input;
  int code;
  const char* stored;
};

// Runs each case on a fresh Value holding `before`, with the input both as
// given (a literal is read-only) and as a writable copy: values that strip the
// caller's text in place must give the same result and value either way.
template <class Value>
void RunSetCases(const char* before, const std::vector<SetCase>& cases) {
  for (const SetCase& c : cases) {
    for (bool writable : {false, true}) {
      SCOPED_TRACE(std::string(c.input ? c.input : "(null)") + (writable ? " writable" : ""));
      std::string copy = c.input ? c.input : "";
      const char* input = writable && c.input ? copy.data() : c.input;
      Value v;
      ASSERT_EQ(0, v.Set(before));
      EXPECT_EQ(c.code, v.Set(input));
      EXPECT_STREQ(c.stored ? c.stored : before, v.Get());
    }
  }
}

#endif  // TESTS_S3_VALUES_VALUE_CASES_H_
