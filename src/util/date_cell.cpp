// date_cell.cpp: the Last Modified cell of the HTML index page, always in UTC.
#include "util/date_cell.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "plat/plat.h"

void date_cell(int64_t mtime, char out[DATE_CELL_BYTES]) {
  std::tm tm{};
  // A time the platform cannot break down gets an empty cell rather than a made-up date.
  if (plat_gmtime(mtime, &tm) != 0) {
    out[0] = '\0';
    return;
  }
  // Month first (MM/DD/YYYY), the order the listing page shows.
  // Formatted with room for any year, then cut to the cell's width.
  char text[96];
  std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d +00:00", tm.tm_mon + 1,
                tm.tm_mday, tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  size_t n = std::strlen(text);
  if (n > DATE_CELL_BYTES - 1) n = DATE_CELL_BYTES - 1;
  std::memcpy(out, text, n);
  out[n] = '\0';
}
