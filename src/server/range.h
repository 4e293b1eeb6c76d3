// range.h: the byte-range grammar of a Range request header (RFC 9110 section 14.1.2) against
// a resource size. Pure: no state, no last error; the handler calls it for every file request.
#pragma once

#include <cstdint>

// Outcomes of range_parse (and of kobas_parse_range).
inline constexpr int RANGE_OK = 0;          // FIRST..LAST (inclusive) is satisfiable
inline constexpr int RANGE_NONE = 1;        // no header (absent or empty)
inline constexpr int RANGE_MALFORMED = -1;  // not a byte range we understand
inline constexpr int RANGE_UNSATISFIABLE = 416;

// Clears every given output to 0, then parses HEADER (may be null) for a resource of SIZE bytes.
// FIRST, LAST and PARTIAL are each optional. Only the first range of a list is served; PARTIAL is
// 1 when later ones were dropped. On 416, FIRST is -1 when SIZE <= 0 or the start lies at or past
// the end, else 0. Never touches the calling thread's last error.
int range_parse(const char* header, int64_t size, int64_t* first, int64_t* last, int* partial);
