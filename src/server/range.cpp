// range.cpp: the Range header grammar and its export. Only single ranges are served: a list is
// answered with its first range (RFC 9110 section 14.2 lets a server ignore or coalesce ranges),
// so no multipart body is ever needed. Deciding which bytes is this file's only business.
#include "server/range.h"

#include <cstdio>
#include <cstring>

#include "kobas.h"
#include "util/last_error.h"
#include "util/str.h"

namespace {

// The first range of a list is re-read on its own; a longer one cannot be a sane byte range
// (two 19-digit numbers and a dash fit with room to spare), so it is cut, not refused.
constexpr int max_first_range_bytes = 63;

struct range_out {
  int64_t first = 0;
  int64_t last = 0;
  int partial = 0;
};

bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Signed decimal conversion with the shape of strtoll: skips leading white space, takes one sign,
// reads digits and clamps at the 64-bit limits. Returns where the reading stopped, which is S
// itself when no digit was found.
const char* read_number(const char* s, int64_t* out) {
  const char* p = s;
  while (is_space(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') {
    *out = 0;
    return s;
  }
  // Accumulate as a negative number: its range reaches INT64_MIN, the positive one does not.
  int64_t v = 0;
  bool clamped = false;
  for (; *p >= '0' && *p <= '9'; ++p) {
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

int parse_single(const char* one, int64_t size, range_out* out);

int parse_text(const char* text, int64_t size, range_out* out) {
  const char* range_set = str_iprefix(text, "bytes=");
  if (range_set == nullptr) return RANGE_MALFORMED;
  const char* comma = std::strchr(range_set, ',');
  if (comma == nullptr) return parse_single(range_set, size, out);

  // A list: the first range alone is re-read, the later ones are never looked at.
  int cut = static_cast<int>(comma - range_set);
  if (cut > max_first_range_bytes) cut = max_first_range_bytes;
  char first_only[sizeof "bytes=" + max_first_range_bytes];
  std::snprintf(first_only, sizeof first_only, "bytes=%.*s", cut, range_set);
  *out = range_out{};
  const int rc = parse_text(first_only, size, out);
  if (rc == RANGE_OK) out->partial = 1;
  return rc;
}

int parse_single(const char* one, int64_t size, range_out* out) {
  // RFC 9110 section 14.1.2: nothing of an empty representation can be selected.
  if (size <= 0) {
    out->first = -1;
    return RANGE_UNSATISFIABLE;
  }

  if (one[0] == '-') {
    // Suffix form: the last N bytes; a suffix longer than the resource covers all of it.
    if (one[1] == '\0') return RANGE_MALFORMED;
    int64_t n = 0;
    const char* end = read_number(one + 1, &n);
    if (end == one + 1 || *end != '\0') return RANGE_MALFORMED;
    if (n <= 0) return RANGE_UNSATISFIABLE;
    out->first = size - (n < size ? n : size);
    out->last = size - 1;
    return RANGE_OK;
  }

  int64_t start = 0;
  const char* dash = read_number(one, &start);
  if (dash == one || *dash != '-') return RANGE_MALFORMED;
  const char* rest = dash + 1;
  int64_t end_pos = size - 1;
  if (*rest == '\0') {
    if (start < 0) return RANGE_MALFORMED;
    if (start >= size) {
      out->first = -1;
      return RANGE_UNSATISFIABLE;
    }
  } else {
    int64_t stop = 0;
    const char* end = read_number(rest, &stop);
    if (end == rest || *end != '\0') return RANGE_MALFORMED;
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
