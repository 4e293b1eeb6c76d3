// date_cell.h: the Last Modified text of the HTML index page.
#pragma once

#include <cstdint>

inline constexpr int DATE_CELL_BYTES = 40;

// Writes "MM/DD/YYYY hh:mm:ss +00:00" for Unix time MTIME (UTC) into OUT.
void date_cell(int64_t mtime, char out[DATE_CELL_BYTES]);
