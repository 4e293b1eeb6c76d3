// ASCII-only case folding and the null-tolerant helpers.
#include "util/str.h"

#include <gtest/gtest.h>

#include <cstring>

struct ieq_row {
  const char* a;
  const char* b;
  int want;
};
const ieq_row ieq_rows[] = {
    {"ABC", "abc", 1},  {"abc", "abcd", 0},
    {"abcd", "abc", 0}, {nullptr, nullptr, 1},
    {"", nullptr, 0},   {nullptr, "", 0},
    {"", "", 1},        {"\xC3\x84", "\xC3\xA4", 0},  // upper- and lower-case A with diaeresis
    {"[", "{", 0},                                    // differ by 0x20 but are not letters
    {"@", "`", 0},      {"Zz", "zZ", 1},
    {"abc", "abd", 0},
};

TEST(StrIeq, Table) {
  for (const ieq_row& r : ieq_rows) {
    SCOPED_TRACE(std::string(r.a ? r.a : "(null)") + " vs " + (r.b ? r.b : "(null)"));
    EXPECT_EQ(str_ieq(r.a, r.b), r.want);
  }
}

TEST(StrIprefix, PointsBehindPrefix) {
  const char* s = "BYTES=0-99";
  EXPECT_EQ(str_iprefix(s, "bytes="), s + 6);
  EXPECT_EQ(str_iprefix(s, ""), s);
  const char* whole = "Bytes=";
  EXPECT_EQ(str_iprefix(whole, "bytes="), whole + 6);
}

TEST(StrIprefix, RefusesShortOrDifferent) {
  EXPECT_EQ(str_iprefix("by", "bytes="), nullptr);
  EXPECT_EQ(str_iprefix("bytez=1", "bytes="), nullptr);
  EXPECT_EQ(str_iprefix(nullptr, "x"), nullptr);
  EXPECT_EQ(str_iprefix("x", nullptr), nullptr);
  EXPECT_EQ(str_iprefix("\xC3\x84x", "\xC3\xA4"), nullptr);
}

TEST(XStrdup, CopiesOrPassesNull) {
  EXPECT_EQ(x_strdup(nullptr), nullptr);
  const char* src = "a b";
  heap_text copy(x_strdup(src));
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy.get(), src);
  EXPECT_STREQ(copy.get(), "a b");
  heap_text empty(x_strdup(""));
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty.get(), "");
}
