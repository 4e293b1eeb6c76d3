// http.cpp: request heads in, small answers out. The receive loop and the head parser are kept
// apart so the parser can be fed bytes without a socket; bytes behind a head stay in the
// connection's buffer because they belong to the next request (RFC 9112 section 9.3.2).
#include "server/http.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "util/escape.h"
#include "util/sb.h"

namespace {

constexpr std::string_view HEAD_END = "\r\n\r\n";

heap_text dup_view(std::string_view v) {
  char* p = static_cast<char*>(std::malloc(v.size() + 1));
  if (p != nullptr) {
    std::memcpy(p, v.data(), v.size());
    p[v.size()] = '\0';
  }
  return heap_text(p);
}

void copy_view(char* dst, std::string_view v) {
  std::memcpy(dst, v.data(), v.size());
  dst[v.size()] = '\0';
}

bool ieq(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view trim_blanks(std::string_view v) {
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  return v;
}

// Adds VALUE to the list field FIELD, joining a repeated line to the ones before it. false when
// memory ran out: a validator silently lost could turn a stale If-Range into a spliced file.
bool append_field(heap_text* field, std::string_view value) {
  if (!*field) {
    *field = dup_view(value);
    return static_cast<bool>(*field);
  }
  const size_t had = std::strlen(field->get());
  char* p = static_cast<char*>(std::malloc(had + 2 + value.size() + 1));
  if (p == nullptr) return false;
  std::memcpy(p, field->get(), had);
  std::memcpy(p + had, ", ", 2);
  std::memcpy(p + had + 2, value.data(), value.size());
  p[had + 2 + value.size()] = '\0';
  field->reset(p);
  return true;
}

// Content-Length is 1*DIGIT (RFC 9110 section 8.6). Leading zeros carry no value; past them,
// 18 digits cannot overflow int64_t, and longer values exceed any body we would read anyway.
bool parse_length(std::string_view v, int64_t* out) {
  if (v.empty()) return false;
  while (v.size() > 1 && v.front() == '0') v.remove_prefix(1);
  if (v.size() > 18) return false;
  int64_t n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *out = n;
  return true;
}

// A token character of a field name (RFC 9110 section 5.6.2).
bool is_tchar(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

// True when the comma-separated list VALUE holds TOKEN, compared ASCII case-insensitively.
bool has_token(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    size_t comma = value.find(',');
    if (ieq(trim_blanks(value.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

// Applies one header line; false when the line is malformed. A head that two parsers could
// read differently is how a request hides inside another (RFC 9112 section 11.2), so nothing
// is skipped: a line without a colon, a name holding white space or another non-token byte
// (which also catches obs-fold continuation lines, RFC 9112 section 5.2) and a bare CR or LF
// refuse the whole head. A Content-Length that is not a number or disagrees with an earlier
// one leaves the body's end unknown; guessing it is how requests get smuggled (RFC 9112 section
// 6.3), so such a request is answered like one with Transfer-Encoding and the connection closed.
bool apply_header(std::string_view line, http_request* req, bool* seen_length) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  std::string_view name = line.substr(0, colon);
  for (char c : name) {
    if (!is_tchar(static_cast<unsigned char>(c))) return false;
  }
  std::string_view raw_value = line.substr(colon + 1);
  if (raw_value.find_first_of("\r\n") != std::string_view::npos) return false;
  std::string_view value = trim_blanks(raw_value);
  if (ieq(name, "Range")) {
    req->range = dup_view(value);
  } else if (ieq(name, "Authorization")) {
    req->authorization = dup_view(value);
  } else if (ieq(name, "If-None-Match")) {
    return append_field(&req->if_none_match, value);
  } else if (ieq(name, "If-Modified-Since")) {
    return append_field(&req->if_modified_since, value);
  } else if (ieq(name, "If-Range")) {
    return append_field(&req->if_range, value);
  } else if (ieq(name, "Accept-Encoding")) {
    return append_field(&req->accept_encoding, value);
  } else if (ieq(name, "Last-Event-ID")) {
    req->last_event_id = dup_view(value);
  } else if (ieq(name, "Connection")) {
    // The client says it sends nothing more (RFC 9112 section 9.6): the answer says so too.
    if (has_token(value, "close")) req->must_close = 1;
  } else if (ieq(name, "Content-Length")) {
    int64_t n = 0;
    if (!parse_length(value, &n) || (*seen_length && n != req->content_length)) {
      req->body_length_unknown = 1;
      return true;
    }
    req->content_length = n;
    *seen_length = true;
  } else if (ieq(name, "Transfer-Encoding")) {
    req->body_length_unknown = 1;
  }
  return true;
}

// Appends what has arrived behind the held bytes. 1 got some; 2 nothing there now; 0 the
// connection is over: closed or failed.
int receive_more(http_conn* c) {
  if (c->drained) {
    c->drained = false;
    return 2;
  }
  if (!c->buf) {
    c->buf.reset(new (std::nothrow) char[HTTP_HEAD_MAX_BYTES + 1]);
    if (!c->buf) return 0;
  }
  const size_t room = HTTP_HEAD_MAX_BYTES - c->held;
  int64_t n = plat_recv_nb(c->sock, c->buf.get() + c->held, room);
  if (n == PLAT_AGAIN) return 2;
  if (n <= 0) return 0;
  c->held += static_cast<size_t>(n);
  c->drained = static_cast<size_t>(n) < room;
  return 1;
}

void consume(http_conn* c, size_t n) {
  std::memmove(c->buf.get(), c->buf.get() + n, c->held - n);
  c->held -= n;
}

// Reads and drops the body bytes still owed by the last request, held ones first. 1 done; 2 or
// 0 as receive_more.
int drop_body(http_conn* c) {
  for (;;) {
    size_t take = c->held;
    if (static_cast<int64_t>(take) > c->drop_left) take = static_cast<size_t>(c->drop_left);
    if (take > 0) consume(c, take);
    c->drop_left -= static_cast<int64_t>(take);
    if (c->drop_left == 0) return 1;
    const int r = receive_more(c);
    if (r != 1) return r;
  }
}

constexpr const char* DAY_NAMES[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* MONTH_NAMES[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

void http_request_clear(http_request* req) {
  req->method[0] = '\0';
  req->path[0] = '\0';
  req->target[0] = '\0';
  req->query[0] = '\0';
  req->keep_alive = 0;
  req->range.reset();
  req->authorization.reset();
  req->if_none_match.reset();
  req->if_modified_since.reset();
  req->if_range.reset();
  req->accept_encoding.reset();
  req->last_event_id.reset();
  req->content_length = 0;
  req->body_length_unknown = 0;
  req->must_close = 0;
}

int parse_request_head(std::string_view head, http_request* req, int* err_status) {
  http_request_clear(req);
  *err_status = 400;
  // A zero byte cannot be part of a head and would cut every text copied from it.
  if (head.find('\0') != std::string_view::npos) return -1;

  size_t line_end = head.find("\r\n");
  std::string_view line = head.substr(0, line_end);
  std::string_view rest =
      line_end == std::string_view::npos ? std::string_view() : head.substr(line_end + 2);

  size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos) return -1;
  size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos) return -1;
  if (line.find_first_of("\r\n") != std::string_view::npos) return -1;  // a bare CR or LF
  std::string_view method = line.substr(0, sp1);
  std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  if (method.size() >= HTTP_METHOD_BYTES || target.size() >= HTTP_TARGET_BYTES) return -1;
  copy_view(req->method, method);
  copy_view(req->target, target);

  // Only the two versions this server speaks; a space inside the target shifts the version
  // and lands here too.
  std::string_view version = line.substr(sp2 + 1);
  if (version == "HTTP/1.1") {
    req->keep_alive = 1;
  } else if (version == "HTTP/1.0") {
    req->keep_alive = 0;
  } else {
    *err_status = 505;
    return -1;
  }

  bool seen_length = false;
  while (line_end != std::string_view::npos) {
    line_end = rest.find("\r\n");
    if (!apply_header(rest.substr(0, line_end), req, &seen_length)) return -1;
    if (line_end != std::string_view::npos) rest.remove_prefix(line_end + 2);
  }

  size_t qmark = target.find('?');
  if (qmark != std::string_view::npos) {
    std::string_view query = target.substr(qmark + 1);
    if (query.size() >= HTTP_QUERY_BYTES) return -1;
    copy_view(req->query, query);
    req->target[qmark] = '\0';
  }

  uint64_t decoded_len = 0;
  if (url_decode(req->target, req->path, HTTP_TARGET_BYTES, 0, &decoded_len) != 0) return -1;
  // An escape that produced a zero byte would make the path mean something shorter.
  if (decoded_len != std::strlen(req->path)) return -1;
  *err_status = 0;
  return 1;
}

int read_request(http_conn* conn, http_request* req, int* err_status) {
  http_request_clear(req);
  if (conn->drop_left > 0) {
    const int r = drop_body(conn);
    if (r != 1) return r;
  }
  size_t end = 0;
  for (;;) {
    std::string_view held(conn->buf.get(), conn->held);
    end = held.find(HEAD_END);
    if (end != std::string_view::npos) break;
    if (held.find('\0') != std::string_view::npos) {
      *err_status = 400;
      return -1;
    }
    if (conn->held >= HTTP_HEAD_MAX_BYTES) {
      *err_status = 431;
      return -1;
    }
    const int r = receive_more(conn);
    if (r != 1) return r;
  }

  int parsed = parse_request_head(std::string_view(conn->buf.get(), end), req, err_status);
  consume(conn, end + HEAD_END.size());
  if (parsed != 1) return -1;
  conn->silence_ms = 0;  // the next request has its own account

  // Without a length the body's end is unknown (RFC 9112 section 6.3): answer, then close.
  if (req->body_length_unknown || req->content_length > HTTP_BODY_DROP_MAX_BYTES) {
    req->must_close = 1;
    return 1;
  }
  conn->drop_left = req->content_length;
  return 1;
}

void http_conn_trim(http_conn* conn) {
  if (conn->held == 0) conn->buf.reset();
}

namespace {

// Every answer begins "HTTP/1.1 NNN ", whichever path made its head (a folder page makes it in
// a later turn), so its status is read there, once, from the first bytes that leave.
void note_status(http_out* out, const char* bytes, size_t n) {
  if (out->status != 0 || n < 12 || std::memcmp(bytes, "HTTP/1.1 ", 9) != 0) return;
  int status = 0;
  for (size_t i = 9; i < 12; ++i) {
    if (bytes[i] < '0' || bytes[i] > '9') return;
    status = status * 10 + (bytes[i] - '0');
  }
  out->status = status;
}

}  // namespace

int http_out_flush(plat_sock sock, http_out* out, bool (*stop)()) {
  constexpr uint64_t FILE_STEP_BYTES = 262144;
  // A block this large is handed back once the answer is done rather than kept for the
  // connection's life: an idle connection should cost next to nothing.
  constexpr size_t KEPT_BYTES = 65536;
  while (!out->empty()) {
    if (stop != nullptr && stop()) return 0;
    if (out->sent == out->bytes.size() && out->file_left == 0) {
      // Only the source is left: its next piece goes out now that everything before it did.
      const int more = out->source->more(&out->bytes);
      if (more < 0) return 0;
      if (more == 2 || more == 3) return more;
      if (more == 0) {
        out->source.reset();
        if (out->bytes.capacity() > KEPT_BYTES) std::string().swap(out->bytes);
      }
      continue;
    }
    const char* head = out->bytes.data() + out->sent;
    const size_t head_len = out->bytes.size() - out->sent;
    const uint64_t want = out->file_left < FILE_STEP_BYTES ? out->file_left : FILE_STEP_BYTES;
    note_status(out, head, head_len);
    const int64_t n =
        plat_send_head_file_nb(sock, head, head_len, out->file.get(), out->file_offset, want);
    if (n == PLAT_AGAIN) return 2;
    if (n < 0) return 0;
    out->sent_total += static_cast<uint64_t>(n);
    uint64_t done = static_cast<uint64_t>(n);
    const size_t from_head = done < head_len ? static_cast<size_t>(done) : head_len;
    out->sent += from_head;
    done -= from_head;
    out->file_offset += done;
    out->file_left -= done;
    stream_progress(out->note, done);
    if (out->sent == out->bytes.size()) {
      out->bytes.clear();
      out->sent = 0;
    }
    if (out->file_left == 0 && out->file != nullptr) {
      out->file.reset();  // the body is done; a kept connection holds no file
      stream_end(out->note);
      out->note = nullptr;
    }
    // Nothing moved although room was there: the file ended before its promised length, and
    // only a close tells the client that the answer is incomplete.
    if (n == 0) return 0;
    // A short send means the socket is full: wait for room rather than ask again at once.
    if (done + from_head < head_len + want) return out->empty() ? 1 : 2;
  }
  return 1;
}

int query_val(const char* query, const char* name, char* out, uint64_t out_size) {
  if (query == nullptr || name == nullptr) return -1;
  std::string_view rest(query);
  std::string_view wanted(name);
  for (;;) {
    size_t amp = rest.find('&');
    std::string_view param = rest.substr(0, amp);
    size_t eq = param.find('=');
    if (eq != std::string_view::npos && ieq(param.substr(0, eq), wanted)) {
      heap_text value = dup_view(param.substr(eq + 1));
      if (!value) return -1;
      return url_decode(value.get(), out, out_size, 1, nullptr) == 0 ? 0 : -1;
    }
    if (amp == std::string_view::npos) return -1;
    rest.remove_prefix(amp + 1);
  }
}

int put_decimal(string_builder* sb, int64_t v) {
  char text[24];  // 19 digits, a sign, and room
  char* end = text + sizeof text;
  char* p = end;
  // Negated as unsigned, so INT64_MIN has a magnitude too.
  uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  do {
    *--p = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (v < 0) *--p = '-';
  return sb_putn(sb, p, static_cast<uint64_t>(end - p));
}

void http_date(int64_t t, char out[HTTP_DATE_BYTES]) {
  std::tm tm{};
  out[0] = '\0';
  if (plat_gmtime(t, &tm) != 0 || tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 ||
      tm.tm_mon > 11) {
    return;
  }
  std::snprintf(out, HTTP_DATE_BYTES, "%s, %02d %s %04d %02d:%02d:%02d GMT", DAY_NAMES[tm.tm_wday],
                tm.tm_mday, MONTH_NAMES[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
}

int put_status_head(string_builder* sb, int status, const char* reason) {
  // The date changes once a second; each thread formats it only when its second has passed.
  thread_local int64_t t_date_s = -1;
  thread_local char t_date[HTTP_DATE_BYTES];
  const int64_t now = plat_wall_s();
  if (now != t_date_s) {
    http_date(now, t_date);
    t_date_s = now;
  }
  int failed = sb_puts(sb, "HTTP/1.1 ");
  failed |= put_decimal(sb, status);
  failed |= sb_putc(sb, ' ');
  failed |= sb_puts(sb, reason);
  failed |= sb_puts(sb, "\r\nSERVER: ");
  failed |= sb_puts(sb, HTTP_BANNER);
  failed |= sb_puts(sb, "\r\nDATE: ");
  failed |= sb_puts(sb, t_date);
  failed |= sb_puts(sb, "\r\n");
  return failed;
}

int build_head(string_builder* sb, int status, const char* reason, const char* content_type,
               uint64_t body_len, const char* extra_headers, int keep_alive) {
  sb_reset(sb);
  // A builder that could not grow would hold a head with lines missing: send nothing then.
  int failed = put_status_head(sb, status, reason);
  // Every body handed to respond is an in-memory text far below 4 GiB.
  failed |= sb_puts(sb, "Content-Length: ");
  failed |= put_decimal(sb, static_cast<unsigned>(body_len));
  failed |= sb_puts(sb, "\r\n");
  if (content_type != nullptr) {
    failed |= sb_puts(sb, "Content-Type: ");
    failed |= sb_puts(sb, content_type);
    failed |= sb_puts(sb, "\r\n");
  }
  failed |= sb_puts(sb, "Accept-Ranges: bytes\r\n");
  failed |= sb_puts(sb, extra_headers);
  failed |=
      sb_puts(sb, keep_alive != 0 ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n");
  return failed != 0 ? -1 : 0;
}

bool reply(const http_reply& r, int status, const char* reason, const char* content_type,
           std::string_view body, const char* extra_headers) {
  sb_owner own;
  string_builder* sb = r.scratch != nullptr ? r.scratch : own.get();
  if (build_head(sb, status, reason, content_type, body.size(), extra_headers, r.keep_alive) != 0) {
    return false;
  }
  const bool has_body = r.head_only == 0 && !body.empty();
  return send_or_keep(r.sock, r.out, std::string_view(sb->data, sb->len),
                      has_body ? body : std::string_view());
}

bool send_or_keep(plat_sock sock, http_out* out, std::string_view head, std::string_view body) {
  if (!out->empty()) {
    // Earlier answers still wait: this one goes behind them.
    out->bytes.append(head).append(body);
    return true;
  }
  note_status(out, head.data(), head.size());
  int64_t n = plat_send_nb(sock, head.data(), head.size(), body.data(), body.size());
  if (n == PLAT_AGAIN) n = 0;
  if (n < 0) return false;
  out->sent_total += static_cast<uint64_t>(n);
  size_t done = static_cast<size_t>(n);
  if (done < head.size()) {
    out->bytes.append(head.substr(done));
    done = 0;
  } else {
    done -= head.size();
  }
  if (done < body.size()) out->bytes.append(body.substr(done));
  return true;
}
