// The Range header grammar against a resource size, through the export and the internal form.
#include "server/range.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "kobas.h"

struct range_row {
  const char* header;
  int64_t size;
  int want;
  int64_t first;
  int64_t last;
  int partial;
};

const range_row range_rows[] = {
    {"bytes=0-99", 1000, 0, 0, 99, 0},
    {"BYTES=0-99", 1000, 0, 0, 99, 0},
    {"Bytes=0-99", 1000, 0, 0, 99, 0},
    {"bytes=500-", 1000, 0, 500, 999, 0},
    {"bytes=0-5000", 1000, 0, 0, 999, 0},
    {"bytes=0-999", 1000, 0, 0, 999, 0},
    {"bytes=999-999", 1000, 0, 999, 999, 0},
    {"bytes=0-0", 1, 0, 0, 0, 0},
    {"bytes=-100", 1000, 0, 900, 999, 0},
    {"bytes=-1000", 1000, 0, 0, 999, 0},
    {"bytes=-5000", 1000, 0, 0, 999, 0},
    {"bytes=-1", 1000, 0, 999, 999, 0},
    {"bytes=999-", 1000, 0, 999, 999, 0},
    // Not satisfiable: start at or past the end gives first -1, the rest first 0.
    {"bytes=1000-", 1000, 416, -1, 0, 0},
    {"bytes=1000-1200", 1000, 416, -1, 0, 0},
    {"bytes=5-3", 1000, 416, 0, 0, 0},
    {"bytes=-0", 1000, 416, 0, 0, 0},
    {"bytes=--5", 1000, 416, 0, 0, 0},
    // An empty resource refuses every single range, even malformed ones.
    {"bytes=0-", 0, 416, -1, 0, 0},
    {"bytes=-5", 0, 416, -1, 0, 0},
    {"bytes=x", 0, 416, -1, 0, 0},
    {"bytes=0-0", -7, 416, -1, 0, 0},
    {"items=0-1", 0, -1, 0, 0, 0},  // the unit is checked first
    // Lists: the first range alone, later ones unread.
    {"bytes=0-99,200-299", 1000, 0, 0, 99, 1},
    {"bytes=0-99,garbage", 1000, 0, 0, 99, 1},
    {"bytes=x,0-1", 1000, -1, 0, 0, 0},
    {"bytes=5-3,0-1", 1000, 416, 0, 0, 0},
    {"bytes=1000-,0-1", 1000, 416, -1, 0, 0},
    {"bytes=-100,", 1000, 0, 900, 999, 1},
    {"bytes=,0-1", 1000, -1, 0, 0, 0},
    // Malformed.
    {"items=0-1", 1000, -1, 0, 0, 0},
    {"bytes=", 1000, -1, 0, 0, 0},
    {"bytes", 1000, -1, 0, 0, 0},
    {"bytes=-", 1000, -1, 0, 0, 0},
    {"bytes=5", 1000, -1, 0, 0, 0},
    {"bytes=5-x", 1000, -1, 0, 0, 0},
    {"bytes=5-10 ", 1000, -1, 0, 0, 0},
    {"bytes=a-", 1000, -1, 0, 0, 0},
    {"bytes=-x", 1000, -1, 0, 0, 0},
    {"bytes=-5x", 1000, -1, 0, 0, 0},
    {"bytes=-5-10", 1000, -1, 0, 0, 0},
    {"bytes=5--2", 1000, -1, 0, 0, 0},
    {"bytes= -5-10", 1000, -1, 0, 0, 0},
    {"bytes=-1-", 1000, -1, 0, 0, 0},
    {"bytes=+-5", 1000, -1, 0, 0, 0},
    // The number conversion: white space and one sign before each number.
    {"bytes=5--1", 1000, 0, 5, 999, 0},
    {"bytes= 5-10", 1000, 0, 5, 10, 0},
    {"bytes=5- 10", 1000, 0, 5, 10, 0},
    {"bytes=+5-+10", 1000, 0, 5, 10, 0},
    {"bytes=- 7", 1000, 0, 993, 999, 0},
    {"bytes=\t5-10", 1000, 0, 5, 10, 0},
    // Values beyond 64 bits clamp to the limit instead of wrapping.
    {"bytes=0-99999999999999999999999", 1000, 0, 0, 999, 0},
    {"bytes=-99999999999999999999999", 1000, 0, 0, 999, 0},
    {"bytes=99999999999999999999999-", 1000, 416, -1, 0, 0},
    {"bytes=0--99999999999999999999999", 1000, -1, 0, 0, 0},
    {"bytes=-9223372036854775808-", 1000, -1, 0, 0, 0},
    // Offsets past the 32-bit marks stay exact.
    {"bytes=4294967296-", 4294967297LL, 0, 4294967296LL, 4294967296LL, 0},
    {"bytes=-2147483648", 6000000000LL, 0, 3852516352LL, 5999999999LL, 0},
    {"bytes=9223372036854775806-", INT64_MAX, 0, INT64_MAX - 1, INT64_MAX - 1, 0},
};

TEST(RangeParse, Table) {
  for (const range_row& r : range_rows) {
    SCOPED_TRACE(std::string(r.header) + " size " + std::to_string(r.size));
    int64_t first = 77;
    int64_t last = 77;
    int partial = 77;
    EXPECT_EQ(kobas_parse_range(r.header, r.size, &first, &last, &partial), r.want);
    EXPECT_EQ(first, r.first);
    EXPECT_EQ(last, r.last);
    EXPECT_EQ(partial, r.partial);
    // The internal form the handler calls agrees.
    int64_t f2 = 77;
    int64_t l2 = 77;
    int p2 = 77;
    EXPECT_EQ(range_parse(r.header, r.size, &f2, &l2, &p2), r.want);
    EXPECT_EQ(f2, r.first);
    EXPECT_EQ(l2, r.last);
    EXPECT_EQ(p2, r.partial);
  }
}

TEST(RangeParse, NoHeader) {
  int64_t first = 5;
  int64_t last = 5;
  int partial = 5;
  EXPECT_EQ(kobas_parse_range(nullptr, 1000, &first, &last, &partial), 1);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(last, 0);
  EXPECT_EQ(partial, 0);
  first = last = partial = 5;
  EXPECT_EQ(kobas_parse_range("", 1000, &first, &last, &partial), 1);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(last, 0);
  EXPECT_EQ(partial, 0);
  EXPECT_EQ(kobas_parse_range("", 0, nullptr, nullptr, nullptr), 1);
}

TEST(RangeParse, OutputsAreOptional) {
  EXPECT_EQ(kobas_parse_range("bytes=0-99,5-6", 1000, nullptr, nullptr, nullptr), 0);
  int64_t last = 0;
  EXPECT_EQ(kobas_parse_range("bytes=-10", 1000, nullptr, &last, nullptr), 0);
  EXPECT_EQ(last, 999);
  int64_t first = 0;
  EXPECT_EQ(kobas_parse_range("bytes=1000-", 1000, &first, nullptr, nullptr), 416);
  EXPECT_EQ(first, -1);
}

// A list's first range is judged whole, however long: a cut number or a trailing "-" read as
// a shorter range would widen the answer far past what was asked.
TEST(RangeParse, LongFirstRangeOfAListIsJudgedWhole) {
  const std::string zeros(61, '0');
  const std::string many_zeros(200, '0');
  struct list_row {
    std::string first_range;
    int64_t size;
    int want;
    int64_t first;
    int64_t last;
    int partial;
  };
  const list_row rows[] = {
      {"5-10", 1000000, 0, 5, 10, 1},
      {"0-0" + zeros.substr(0, 58) + "012345", 1000000, 0, 0, 12345, 1},
      {"0-" + many_zeros + "123", 1000000, 0, 0, 123, 1},
      {zeros + "5-10", 1000000, 0, 5, 10, 1},
      {zeros + "12345x", 1000000, -1, 0, 0, 0},
      {zeros + "5-", 1000000, 0, 5, 999999, 1},
      {"-" + many_zeros + "7", 1000, 0, 993, 999, 1},
      {"5-" + many_zeros + "x", 1000, -1, 0, 0, 0},
  };
  for (const list_row& r : rows) {
    const std::string list = "bytes=" + r.first_range + ",20-30";
    SCOPED_TRACE(list);
    int64_t first = 77;
    int64_t last = 77;
    int partial = 77;
    EXPECT_EQ(kobas_parse_range(list.c_str(), r.size, &first, &last, &partial), r.want);
    EXPECT_EQ(first, r.first);
    EXPECT_EQ(last, r.last);
    EXPECT_EQ(partial, r.partial);
  }
}

TEST(RangeParse, SetsNoError) {
  EXPECT_EQ(kobas_config("Port", "1"), -1);  // leaves an error behind
  EXPECT_EQ(kobas_parse_range("bytes=x", 10, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(kobas_last_code(), 0);
  EXPECT_STREQ(kobas_last_error(), "");
}
