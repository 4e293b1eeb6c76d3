// range.cpp: the Range header grammar and its export. Only single ranges are served: a list is
// answered with its first range (RFC 9110 section 14.2 lets a server ignore or coalesce ranges),
// so no multipart body is ever needed. Deciding which bytes is this file's only business.
#include "server/range.h"

#include <cstring>
#include <string_view>

#include "kobas.h"
#include "util/last_error.h"
#include "util/str.h"

namespace {

struct range_out {
  int64_t first = 0;
  int64_t last = 0;
  int partial = 0;
};

bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_digit(const char* p, const char* end) {
  return p != end && *p >= '0' && *p <= '9';
}

// Signed decimal conversion with the shape of strtoll, over S..END: skips leading white space,
// takes one sign, reads digits and clamps at the 64-bit limits. Returns where the reading
// stopped, which is S itself when no digit was found.
const char* read_number(const char* s, const char* end, int64_t* out) {
  const char* p = s;
  while (p != end && is_space(*p)) ++p;
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  if (!is_digit(p, end)) {
    *out = 0;
    return s;
  }
  // Accumulate as a negative number: its range reaches INT64_MIN, the positive one does not.
  int64_t v = 0;
  bool clamped = false;
  for (; is_digit(p, end); ++p) {
    const int d = *p - '0';
    if (clamped) continue;
    // Cutoff test before the multiply so that nothing overflows.
    if (v < (INT64_MIN + d) / 10) {
      clamped = true;
      continue;
    }
    v = v * 10 - d;
  }
  if (clamped) {
    *out = negative ? INT64_MIN : INT64_MAX;
  } else if (negative) {
    *out = v;
  } else {
    *out = v == INT64_MIN ? INT64_MAX : -v;
  }
  return p;
}

// One range, the whole of ONE: a text that does not read whole as a range is malformed, never
// read as a shorter range.
int parse_single(std::string_view one, int64_t size, range_out* out) {
  // RFC 9110 section 14.1.2: nothing of an empty representation can be selected.
  if (size <= 0) {
    out->first = -1;
    return RANGE_UNSATISFIABLE;
  }

  const char* const begin = one.data();
  const char* const end = begin + one.size();
  if (!one.empty() && one.front() == '-') {
    // Suffix form: the last N bytes; a suffix longer than the resource covers all of it.
    int64_t n = 0;
    const char* stop_at = read_number(begin + 1, end, &n);
    if (stop_at == begin + 1 || stop_at != end) return RANGE_MALFORMED;
    if (n <= 0) return RANGE_UNSATISFIABLE;
    out->first = size - (n < size ? n : size);
    out->last = size - 1;
    return RANGE_OK;
  }

  int64_t start = 0;
  const char* dash = read_number(begin, end, &start);
  if (dash == begin || dash == end || *dash != '-') return RANGE_MALFORMED;
  const char* rest = dash + 1;
  int64_t end_pos = size - 1;
  if (rest == end) {
    if (start < 0) return RANGE_MALFORMED;
    if (start >= size) {
      out->first = -1;
      return RANGE_UNSATISFIABLE;
    }
  } else {
    int64_t stop = 0;
    const char* stop_at = read_number(rest, end, &stop);
    if (stop_at == rest || stop_at != end) return RANGE_MALFORMED;
    if (start < 0) return RANGE_MALFORMED;
    // "-1" as the end reads as an open end; anything further below is nonsense.
    if (stop < -1) return RANGE_MALFORMED;
    if (start >= size) {
      out->first = -1;
      return RANGE_UNSATISFIABLE;
    }
    // An end past the resource is clamped to its last byte (RFC 9110 section 14.1.2).
    if (stop != -1 && stop < size) end_pos = stop;
  }
  if (start > end_pos) return RANGE_UNSATISFIABLE;
  out->first = start;
  out->last = end_pos;
  return RANGE_OK;
}

int parse_text(const char* text, int64_t size, range_out* out) {
  const char* range_set = str_iprefix(text, "bytes=");
  if (range_set == nullptr) return RANGE_MALFORMED;
  const std::string_view ranges(range_set);
  const size_t comma = ranges.find(',');
  if (comma == std::string_view::npos) return parse_single(ranges, size, out);
  // A list: its first range is judged whole, exactly as it would be alone; the later ones are
  // never looked at.
  const int rc = parse_single(ranges.substr(0, comma), size, out);
  if (rc == RANGE_OK) out->partial = 1;
  return rc;
}

}  // namespace

int range_parse(const char* header, int64_t size, int64_t* first, int64_t* last, int* partial) {
  range_out out;
  const int rc =
      header == nullptr || header[0] == '\0' ? RANGE_NONE : parse_text(header, size, &out);
  if (first != nullptr) *first = out.first;
  if (last != nullptr) *last = out.last;
  if (partial != nullptr) *partial = out.partial;
  return rc;
}

extern "C" KOBAS_API int kobas_parse_range(const char* header, int64_t size, int64_t* first,
                                           int64_t* last, int* partial) {
  set_ok();
  try {
    return range_parse(header, size, first, last, partial);
  } catch (...) {
    set_error(-5, "out of memory");
    return -5;
  }
}
