// The textual safety test of a relative path: lengths, control bytes and dot segments.
#include <gtest/gtest.h>

#include <string>

#include "util/path_safe.h"

struct safe_row {
  std::string in;
  int want;
};

TEST(PathSafety, Table) {
  const safe_row rows[] = {
      {"", 0},
      {"a/b/c.mkv", 0},
      {"/a//b/", 0},
      {"...", 0},
      {"a/..b", 0},
      {"..x/y", 0},
      {"C:/x", 0},
      {"caf\xC3\xA9/\x7f", 0},
      {"..", 404},
      {".", 404},
      {"a/./b", 404},
      {"a/..", 404},
      {"../x", 404},
      {"/./", 404},
      {"a/.", 404},
      {"a\\b", 400},
      {"a\tb", 400},
      {"a\nb", 400},
      {"x\x1f", 400},
      {"../\x01", 400},  // the byte test runs before any segment is looked at
      {std::string(4096, 'a'), 0},
      {std::string(4097, 'a'), 400},
      {std::string(4095, 'a') + "\\", 400},
  };
  for (const safe_row& r : rows) {
    SCOPED_TRACE(r.in.size() > 40 ? std::to_string(r.in.size()) + " bytes" : r.in);
    EXPECT_EQ(path_is_safe(r.in.c_str()), r.want);
  }
  EXPECT_EQ(path_is_safe(nullptr), 400);
}
