// The Last Modified cell: month first, UTC, fixed width.
#include "util/date_cell.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

struct date_row {
  int64_t t;
  const char* want;
};

TEST(DateCell, Table) {
  const date_row rows[] = {
    {0, "01/01/1970 00:00:00 +00:00"},
    {1709647629, "03/05/2024 14:07:09 +00:00"},
    {951782400, "02/29/2000 00:00:00 +00:00"},
    {1700000000, "11/14/2023 22:13:20 +00:00"},
#if _WIN32
    // The Windows runtime refuses to break down times before 1970: the cell stays empty.
    {-1, ""},
#else
    {-1, "12/31/1969 23:59:59 +00:00"},
#endif
  };
  for (const date_row& r : rows) {
    SCOPED_TRACE(r.t);
    char out[DATE_CELL_BYTES];
    date_cell(r.t, out);
    EXPECT_STREQ(out, r.want);
  }
}
