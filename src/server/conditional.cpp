// conditional.cpp: validators and conditional requests. Everything here errs towards the full
// answer: a value that cannot be read is treated as absent, since a 304 or a range of the wrong
// version would leave the client with bytes that are not the file's.
#include "server/conditional.h"

#include <cstring>

namespace {

std::string_view trim_ows(std::string_view v) {
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  return v;
}

char fold(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool ieq(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

constexpr const char* DAYS[7] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr const char* DAYS_LONG[7] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                      "Friday", "Saturday", "Sunday"};
constexpr const char* MONTHS[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Reads the date grammar left to right; any mismatch leaves ok false for good. Names are
// case-sensitive in the grammar (RFC 9110 section 5.6.7).
struct cursor {
  std::string_view s;
  bool ok = true;

  bool lit(std::string_view w) {
    if (!ok || s.substr(0, w.size()) != w) return ok = false;
    s.remove_prefix(w.size());
    return true;
  }
  int digits(size_t n) {
    int v = 0;
    if (!ok || s.size() < n) return ok = false;
    for (size_t i = 0; i < n; ++i) {
      if (s[i] < '0' || s[i] > '9') return ok = false;
      v = v * 10 + (s[i] - '0');
    }
    s.remove_prefix(n);
    return v;
  }
  int name(const char* const* names, int count) {
    for (int i = 0; ok && i < count; ++i) {
      const size_t n = std::strlen(names[i]);
      if (s.substr(0, n) == names[i]) {
        s.remove_prefix(n);
        return i;
      }
    }
    ok = false;
    return 0;
  }
  void time_of_day(int* h, int* m, int* sec) {
    *h = digits(2);
    lit(":");
    *m = digits(2);
    lit(":");
    *sec = digits(2);
  }
};

// Days from 1970-01-01 to Y-M-D of the proleptic Gregorian calendar (H. Hinnant's method).
int64_t days_from_civil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool leap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

bool finish_date(const cursor& c, int y, int mon, int d, int h, int mi, int s, int64_t* out) {
  static constexpr int MONTH_DAYS[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (!c.ok || !c.s.empty() || d < 1 || d > MONTH_DAYS[mon] || h > 23 || mi > 59 || s > 60) {
    return false;
  }
  if (mon == 1 && d == 29 && !leap(y)) return false;
  *out = days_from_civil(y, mon + 1, d) * 86400 + h * 3600 + mi * 60 + s;
  return true;
}

// One entity tag at the front of V (RFC 9110 section 8.8.3), "W/" dropped: *TAG is the quoted
// opaque tag. false when V does not begin with one.
bool take_etag(std::string_view* v, std::string_view* tag) {
  std::string_view s = *v;
  if (s.substr(0, 2) == "W/") s.remove_prefix(2);
  if (s.empty() || s.front() != '"') return false;
  const size_t close = s.find('"', 1);
  if (close == std::string_view::npos) return false;
  for (size_t i = 1; i < close; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x21 || c == 0x7f) return false;  // etagc: no controls, spaces or DEL
  }
  *tag = s.substr(0, close + 1);
  v->remove_prefix(static_cast<size_t>(s.data() - v->data()) + close + 1);
  return true;
}

// The weight of one Accept-Encoding member's parameters: false for q=0 and for a q that is not
// a qvalue (RFC 9110 section 12.4.2), which is safer read as "not wanted".
bool q_positive(std::string_view params) {
  while (!params.empty()) {
    const size_t semi = params.find(';');
    std::string_view p = trim_ows(params.substr(0, semi));
    params = semi == std::string_view::npos ? std::string_view() : params.substr(semi + 1);
    if (p.size() < 2 || fold(p[0]) != 'q' || p[1] != '=') continue;
    std::string_view q = p.substr(2);
    if (q.empty() || (q[0] != '0' && q[0] != '1')) return false;
    if (q.size() > 1 && (q[1] != '.' || q.size() > 5)) return false;
    bool nonzero = q[0] == '1';
    for (size_t i = 2; i < q.size(); ++i) {
      if (q[i] < '0' || q[i] > '9') return false;
      if (q[i] != '0') {
        if (q[0] == '1') return false;  // above 1
        nonzero = true;
      }
    }
    return nonzero;
  }
  return true;
}

}  // namespace

// Both are written for every file answer, so by hand rather than through snprintf's parser.
void make_etag(int64_t size, int64_t mtime_s, int32_t mtime_ns, char out[ETAG_BYTES]) {
  char* p = out;
  *p++ = '"';
  const uint64_t parts[3] = {static_cast<uint64_t>(size), static_cast<uint64_t>(mtime_s),
                             static_cast<uint32_t>(mtime_ns)};
  for (int i = 0; i < 3; ++i) {
    if (i > 0) *p++ = '-';
    int shift = 60;
    while (shift > 0 && (parts[i] >> shift) == 0) shift -= 4;
    for (; shift >= 0; shift -= 4) *p++ = "0123456789abcdef"[(parts[i] >> shift) & 0xf];
  }
  *p++ = '"';
  *p = '\0';
}

void make_last_modified(int64_t mtime_s, char out[LAST_MODIFIED_BYTES]) {
  char digits[LAST_MODIFIED_BYTES];
  char* d = digits + sizeof digits;
  // Negated as unsigned, so INT64_MIN has a magnitude too.
  uint64_t u = mtime_s < 0 ? 0 - static_cast<uint64_t>(mtime_s) : static_cast<uint64_t>(mtime_s);
  do {
    *--d = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (mtime_s < 0) *--d = '-';
  const size_t n = static_cast<size_t>(digits + sizeof digits - d);
  std::memcpy(out, d, n);
  out[n] = '\0';
}

bool parse_http_date(std::string_view text, int64_t* out) {
  cursor c{text};
  int y = 0, mon = 0, d = 0, h = 0, mi = 0, s = 0;
  if (text.size() > 3 && text[3] == ',') {  // IMF-fixdate: Sun, 06 Nov 1994 08:49:37 GMT
    c.name(DAYS, 7);
    c.lit(", ");
    d = c.digits(2);
    c.lit(" ");
    mon = c.name(MONTHS, 12);
    c.lit(" ");
    y = c.digits(4);
    c.lit(" ");
    c.time_of_day(&h, &mi, &s);
    c.lit(" GMT");
  } else if (text.find(',') != std::string_view::npos) {  // Sunday, 06-Nov-94 08:49:37 GMT
    c.name(DAYS_LONG, 7);
    c.lit(", ");
    d = c.digits(2);
    c.lit("-");
    mon = c.name(MONTHS, 12);
    c.lit("-");
    y = c.digits(2);
    // Two-digit years: the nearer century of the two this server can meet.
    y += y < 70 ? 2000 : 1900;
    c.lit(" ");
    c.time_of_day(&h, &mi, &s);
    c.lit(" GMT");
  } else {  // asctime: Sun Nov  6 08:49:37 1994
    c.name(DAYS, 7);
    c.lit(" ");
    mon = c.name(MONTHS, 12);
    c.lit(" ");
    if (!c.s.empty() && c.s.front() == ' ') {
      c.lit(" ");
      d = c.digits(1);
    } else {
      d = c.digits(2);
    }
    c.lit(" ");
    c.time_of_day(&h, &mi, &s);
    c.lit(" ");
    y = c.digits(4);
  }
  return finish_date(c, y, mon, d, h, mi, s, out);
}

bool etag_list_matches(std::string_view list, std::string_view etag) {
  list = trim_ows(list);
  if (list == "*") return true;
  bool any = false;
  while (!list.empty()) {
    // Empty members are allowed in a list (RFC 9110 section 5.6.1).
    if (list.front() == ',' || list.front() == ' ' || list.front() == '\t') {
      list.remove_prefix(1);
      continue;
    }
    std::string_view tag;
    if (!take_etag(&list, &tag)) return false;
    any = any || tag == etag;
    list = trim_ows(list);
    if (!list.empty() && list.front() != ',') return false;
  }
  return any;
}

conditional_outcome judge_conditional(const conditional_input& in) {
  if (in.if_none_match != nullptr) {
    if (etag_list_matches(in.if_none_match, in.etag)) return conditional_outcome::not_modified;
  } else if (in.if_modified_since != nullptr) {
    int64_t since = 0;
    if (parse_http_date(trim_ows(in.if_modified_since), &since) && in.mtime_s <= since) {
      return conditional_outcome::not_modified;
    }
  }
  if (in.if_range != nullptr) {
    const std::string_view v = trim_ows(in.if_range);
    if (v != in.etag && v != in.last_modified) return conditional_outcome::whole_file;
  }
  return conditional_outcome::honour_range;
}

bool accepts_gzip(const char* accept_encoding) {
  if (accept_encoding == nullptr) return false;
  std::string_view rest(accept_encoding);
  int gzip = -1;  // -1 not named, 0 refused, 1 admitted
  int any = -1;
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    std::string_view member = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    const size_t semi = member.find(';');
    const std::string_view coding = trim_ows(member.substr(0, semi));
    const bool q = semi == std::string_view::npos || q_positive(member.substr(semi + 1));
    if (ieq(coding, "gzip") || ieq(coding, "x-gzip")) {
      gzip = gzip == 1 || q ? 1 : 0;
    } else if (coding == "*") {
      any = any == 1 || q ? 1 : 0;
    }
  }
  return gzip >= 0 ? gzip == 1 : any == 1;
}
