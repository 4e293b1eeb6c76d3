// handler.cpp: the connection loop and the decision of what each request is answered with:
// access key, method, the /api/ endpoints, and /ROOT/REL resolved to a file or a folder. The
// range parser decides which bytes of a file go out; the platform's file sender moves them.
#include "server/handler.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "content/resolve.h"
#include "content/roots.h"
#include "server/activity.h"
#include "server/changes_stream.h"
#include "server/conditional.h"
#include "server/config.h"
#include "server/dir_response.h"
#include "server/file_cache.h"
#include "server/http.h"
#include "server/range.h"
#include "util/last_error.h"
#include "util/mime.h"
#include "util/sb.h"

namespace {

// A connection is closed after this many answers, so one client cannot keep a worker forever.
constexpr int MAX_REQUESTS_PER_CONN = 1000;
// Longer root names cannot be registered (128 bytes) and are not worth a registry lookup.
constexpr size_t MAX_ROOT_NAME_BYTES = 159;
// With the root name this keeps a title or link path inside the renderers' buffers.
constexpr size_t MAX_REMAINDER_BYTES = 1899;
constexpr size_t MIME_BYTES = 128;
// After its last answer a connection drops what its client still sends for at most this long
// between two reads, this long in all, and this many bytes.
constexpr uint64_t LINGER_TOTAL_MS = 30000;
constexpr uint64_t LINGER_MAX_BYTES = 64u << 20;

bool not_found(const http_reply& r) {
  return reply(r, 404, "Not Found", "text/plain", "not found\n");
}

// No descriptor for the target: the client may try again, on a new connection.
bool busy(const http_reply& r) {
  http_reply last = r;
  last.keep_alive = 0;
  r.out->close_after = true;
  return reply(last, 503, "Service Unavailable", "text/plain", "busy\n");
}

const char* refusal_reason(int status) {
  if (status == 431) return "Request Header Fields Too Large";
  if (status == 505) return "HTTP Version Not Supported";
  return "Bad Request";
}

// {"NAME":"",...} in registry order. Names need no escaping: the registry admits only
// URL-safe bytes. Built under the registry lock, sent after it is released.
bool answer_folders(const http_reply& r) {
  sb_owner body;
  int failed = 0;
  {
    root_registry* reg = roots_get();
    plat_lock_guard hold(&reg->lock);
    failed |= sb_putc(body.get(), '{');
    for (int i = 0; i < reg->count; ++i) {
      failed |= sb_printf(body.get(), "%s\"%s\":\"\"", i > 0 ? "," : "", reg->roots[i].name);
    }
    failed |= sb_putc(body.get(), '}');
  }
  if (failed != 0) return reply(r, 500, "Internal Server Error", "text/plain", "error\n");
  return reply(r, 200, "OK", "application/json", std::string_view(body.str(), body.len()));
}

bool answer_api(const http_reply& r, const http_request& req, const char* rest) {
  if (str_ieq(rest, "ping")) return reply(r, 200, "OK", "text/plain", "i am ok!");
  if (str_ieq(rest, "version")) return reply(r, 200, "OK", "text/plain", "3.1.0.0");
  if (str_ieq(rest, "folders")) return answer_folders(r);
  if (str_ieq(rest, "changes")) return answer_changes(r, req);
  return not_found(r);
}

// 304 carries the validator the client may store in place of the old one, and no
// Content-Length: the answer has no body, and a length would describe the file's (RFC 9110
// section 8.6), which a client could mistake for bytes still to come.
bool answer_not_modified(const http_reply& r, const char* etag) {
  sb_owner own;
  string_builder* head = r.scratch != nullptr ? r.scratch : own.get();
  sb_reset(head);
  int failed = put_status_head(head, 304, "Not Modified");
  failed |= sb_puts(head, "ETag: ");
  failed |= sb_puts(head, etag);
  failed |= sb_puts(head, r.keep_alive != 0 ? "\r\nConnection: keep-alive\r\n\r\n"
                                            : "\r\nConnection: close\r\n\r\n");
  if (failed != 0) return false;
  const std::string_view text(head->data, head->len);
  return send_or_keep(r.sock, r.out, text, {});
}

// Everything that can fail is settled before the head goes out; after it, a failure can only
// end the connection, because the client has been promised a length. F's handle is the one
// that resolution opened and its record was read from it, so size, time and bytes describe one
// and the same file even while another version replaces it on disk.
bool deliver_file(const http_reply& r, const http_request& req, const cached_file& f,
                  const char* name) {
  const plat_stat_rec& st = f.st;
  char mime[MIME_BYTES];
  mime_lookup(name, mime, sizeof mime);
  const int64_t size = st.size;
  const int64_t mtime = st.mtime;
  set_ok();
  char etag[ETAG_BYTES];
  make_etag(size, mtime, st.mtime_ns, etag);
  char last_modified[LAST_MODIFIED_BYTES];
  make_last_modified(mtime, last_modified);
  const conditional_outcome cond =
      judge_conditional({etag, last_modified, mtime, req.if_none_match.get(),
                         req.if_modified_since.get(), req.if_range.get()});
  if (cond == conditional_outcome::not_modified) return answer_not_modified(r, etag);
  int64_t first = 0;
  int64_t last = 0;
  int partial = 0;
  int status = 200;
  // A failed If-Range drops the Range before it is judged: the client gets the new version whole,
  // not a 416 for an offset that only meant something in the old one.
  if (cond == conditional_outcome::honour_range && req.range && req.range.get()[0] != '\0') {
    int rc = range_parse(req.range.get(), size, &first, &last, &partial);
    if (rc == RANGE_UNSATISFIABLE || rc < 0) {
      // A malformed Range is refused like an unsatisfiable one rather than ignored.
      char extra[64];
      std::snprintf(extra, sizeof extra, "Content-Range: bytes */%lld\r\n",
                    static_cast<long long>(size));
      return reply(r, 416, "Range Not Satisfiable", "text/plain", "", extra);
    }
    if (rc == RANGE_OK) status = 206;
  }
  if (status == 200) {
    first = 0;
    last = size - 1;
  }
  if (size <= 0) {
    first = 0;
    last = -1;
  }
  int64_t length = size > 0 ? last - first + 1 : 0;

  // The connection's reused builder: a file answer allocates nothing once it has grown.
  sb_owner own;
  string_builder* head = r.scratch != nullptr ? r.scratch : own.get();
  sb_reset(head);
  int failed = put_status_head(head, status, status == 206 ? "Partial Content" : "OK");
  failed |= sb_puts(head, "Content-Type: ");
  failed |= sb_puts(head, mime);
  failed |= sb_puts(head, "\r\nContent-Length: ");
  failed |= put_decimal(head, length);
  failed |= sb_puts(head, "\r\nAccept-Ranges: bytes\r\n");
  if (status == 206) {
    failed |= sb_puts(head, "Content-Range: bytes ");
    failed |= put_decimal(head, first);
    failed |= sb_putc(head, '-');
    failed |= put_decimal(head, last);
    failed |= sb_putc(head, '/');
    failed |= put_decimal(head, size);
    failed |= sb_puts(head, "\r\n");
  }
  failed |= sb_puts(head, "Last-Modified: ");
  failed |= sb_puts(head, last_modified);
  failed |= sb_puts(head, "\r\nETag: ");
  failed |= sb_puts(head, etag);
  failed |= sb_puts(head, r.keep_alive != 0 ? "\r\nConnection: keep-alive\r\n\r\n"
                                            : "\r\nConnection: close\r\n\r\n");
  if (failed != 0) return false;
  const std::string_view head_text(head->data, head->len);
  if (r.head_only != 0 || length <= 0) return send_or_keep(r.sock, r.out, head_text, {});
  // A small file's bytes, kept with its record: head and body leave in one send.
  if (f.bytes) {
    const std::string_view body =
        std::string_view(*f.bytes).substr(static_cast<size_t>(first), static_cast<size_t>(length));
    return send_or_keep(r.sock, r.out, head_text, body);
  }
  // The body goes out from the handle that was opened and checked, head first, as the socket
  // takes it; a file that shrinks leaves the body short, and only a close then tells the client.
  r.out->bytes.append(head_text);
  r.out->file = f.file;
  r.out->body_start = r.out->sent_total + (r.out->bytes.size() - r.out->sent);
  r.out->body_size = size;
  r.out->file_offset = static_cast<uint64_t>(first);
  r.out->file_left = static_cast<uint64_t>(length);
  return true;
}

// 301 to the same target with "/" added, the query kept.
bool redirect_to_folder(const http_reply& r, const http_request& req) {
  std::string location("Location: ");
  location.append(req.target).append("/");
  if (req.query[0] != '\0') location.append("?").append(req.query);
  location.append("\r\n");
  return reply(r, 301, "Moved Permanently", nullptr, "", location.c_str());
}

bool answer_path(const http_reply& r, const http_request& req) {
  const char* path = req.path;
  if (path[0] != '/' || path[1] == '\0') return not_found(r);
  const char* name_start = path + 1;
  const char* slash = std::strchr(name_start, '/');
  size_t name_len =
      slash != nullptr ? static_cast<size_t>(slash - name_start) : std::strlen(name_start);
  if (name_len > MAX_ROOT_NAME_BYTES) return not_found(r);
  const char* remainder = slash != nullptr ? slash + 1 : "";
  size_t rem_len = std::strlen(remainder);
  if (rem_len > MAX_REMAINDER_BYTES) {
    return reply(r, 400, "Bad Request", "text/plain", "bad request\n");
  }

  char name[MAX_ROOT_NAME_BYTES + 1];
  std::memcpy(name, name_start, name_len);
  name[name_len] = '\0';
  // /ROOT and /ROOT/ name the same thing, as do a/b and a/b/.
  char rel[MAX_REMAINDER_BYTES + 1];
  std::memcpy(rel, remainder, rem_len + 1);
  if (rem_len > 0 && rel[rem_len - 1] == '/') rel[rem_len - 1] = '\0';

  // The media type follows the name asked for: a link's target may be named anything.
  const char* last_slash = std::strrchr(rel, '/');
  const char* file_name = last_slash != nullptr ? last_slash + 1 : rel;
  cached_file kept;
  if (file_cache_find(name, rel, &kept)) return deliver_file(r, req, kept, file_name);

  // The target's descriptor counts against the bound like a connection's socket: the file of a
  // stalled download is held as long as its socket.
  const uint64_t epoch = file_cache_epoch();
  if (!descriptor_take()) return busy(r);
  struct given_back {
    ~given_back() { descriptor_give(); }
  } give_back;
  // On the heap: a folder's page keeps it open over several turns.
  auto target = std::make_unique<opened_target>();
  int rc = resolve_open(name, rel, target.get());
  // The process ran out of descriptors (the host holds some too): kept files go first.
  if (rc > 0 && plat_no_descriptors() && file_cache_shed())
    rc = resolve_open(name, rel, target.get());
  if (rc < 0) return reply(r, 500, "Internal Server Error", "text/plain", "error\n");
  // A file that could not be opened for lack of descriptors exists all the same.
  if (rc != 0 && plat_no_descriptors()) return busy(r);
  // Unknown roots, unsafe, hidden and escaping paths all look alike to the client.
  if (rc != 0) return not_found(r);
  access_note_root(name);
  if (target->is_dir()) {
    // The page links its entries relative to its own URL: without the trailing slash a browser
    // would resolve "./a.txt" against the parent folder and fetch another file.
    const bool slash_ended = slash != nullptr && (rem_len == 0 || remainder[rem_len - 1] == '/');
    if (!slash_ended) return redirect_to_folder(r, req);
    return serve_folder(r, req, name, rel, std::move(target));
  }
  cached_file opened{share_file(target->o.file), target->o.st, nullptr};
  target->o.file = nullptr;
  if (!opened.file) return reply(r, 500, "Internal Server Error", "text/plain", "error\n");
  file_cache_keep(name, rel, epoch, &opened);
  return deliver_file(r, req, opened, file_name);
}

// Answers one request. false when the connection must end because a send failed.
bool answer(const http_reply& r, const http_request& req) {
  // The key comes first: without it a client learns nothing, not even which methods exist.
  if (cfg_authorized(req.authorization.get()) == 0) {
    // RFC 9110 section 11.6.1: a 401 names the schemes that would be accepted. Browsers and
    // players prompt only when Basic is among them, and Chromium takes no Basic challenge from
    // a line that holds two, so each scheme has a line of its own.
    return reply(r, 401, "Unauthorized", "text/plain", "unauthorized\n",
                 "WWW-Authenticate: Basic realm=\"tandrill-kobas\"\r\n"
                 "WWW-Authenticate: Bearer\r\n");
  }
  if (std::strcmp(req.method, "GET") != 0 && std::strcmp(req.method, "HEAD") != 0) {
    // Methods are case-sensitive (RFC 9110 section 9.1): "get" is refused too.
    http_reply no_body = r;
    no_body.head_only = 0;
    return reply(no_body, 405, "Method Not Allowed", nullptr, "", "Allow: GET, HEAD\r\n");
  }
  if (const char* rest = str_iprefix(req.path, "/api/")) return answer_api(r, req, rest);
  return answer_path(r, req);
}

// The descriptors an answer keeps in its output (a file, a folder still being read) count
// while they are held.
void count_kept(conn* c) {
  const int holds =
      (c->out.file != nullptr ? 1 : 0) + (c->out.source ? c->out.source->descriptors() : 0);
  for (; c->kept < holds; ++c->kept) descriptor_take(true);
  for (; c->kept > holds; --c->kept) descriptor_give();
}

// Notes the file body C has on its way for the host's activity, from the request it answers.
void note_body(conn* c, const http_request& req) {
  const std::string_view path(req.path[0] == '/' ? req.path + 1 : req.path);
  const size_t slash = path.find('/');
  std::string_view rel =
      slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
  if (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
  const std::string name(path.substr(0, slash));
  const std::string rel_text(rel);
  c->out.note = stream_begin(c->in.sock, name.c_str(), rel_text.c_str(), c->out.body_size,
                             c->out.body_start, c->out.sent_total - c->out.body_start);
}

// Drops what the client still sends after the last answer until it closes its side, stays
// silent, or has sent too much; the answer reached it whole by then.
conn_turn linger(conn* c) {
  const uint64_t now = plat_now_ms();
  if (c->linger_until_ms == 0) {
    if (plat_sock_shutdown_write(c->in.sock) != 0) return conn_turn::close;
    c->linger_until_ms = now + LINGER_TOTAL_MS;
    c->linger_left = LINGER_MAX_BYTES;
    c->in.buf.reset();
    c->in.held = 0;
  }
  char sink[16384];
  while (now < c->linger_until_ms && c->linger_left > 0 && !server_stopping()) {
    const size_t want = c->linger_left < sizeof sink ? c->linger_left : sizeof sink;
    const int64_t n = plat_recv_nb(c->in.sock, sink, want);
    if (n == PLAT_AGAIN) return conn_turn::wait_read;
    if (n <= 0) break;
    c->linger_left -= static_cast<uint64_t>(n);
  }
  return conn_turn::close;
}

// A follower waits for the next event costing what an idle connection costs: no receive
// buffer, no block of sent text.
conn_turn park(conn* c) {
  http_conn_trim(&c->in);
  std::string().swap(c->out.bytes);
  c->out.sent = 0;
  return conn_turn::park;
}

}  // namespace

conn_turn run_conn(conn* c, http_request* req, string_builder* scratch) {
  try {
    if (c->linger_until_ms != 0) return linger(c);
    for (;;) {
      if (!c->out.empty()) {
        const int f = http_out_flush(c->in.sock, &c->out, server_stopping);
        count_kept(c);
        // A body that did not go out in its own turn shows in the host's activity until its
        // last byte went; one that did was never in progress long enough to matter, and costs
        // no note.
        if (c->out.body_size >= 0) {
          if (f == 2 && c->out.file) note_body(c, *req);
          c->out.body_size = -1;
        }
        if (f == 2) return server_stopping() ? conn_turn::close : conn_turn::wait_write;
        if (f == 3) return server_stopping() ? conn_turn::close : park(c);
        if (f == 0) return conn_turn::close;
        access_sent(&c->access, c->out);
      }
      if (c->out.close_after) return linger(c);
      if (server_stopping()) return conn_turn::close;
      int err_status = 0;
      const int rc = read_request(&c->in, req, &err_status);
      if (rc == 2) {
        http_conn_trim(&c->in);
        return conn_turn::wait_read;
      }
      if (rc == 0) return conn_turn::close;
      access_begin(&c->access, c->in.sock, &c->out);
      // The last answer a connection carries says so (RFC 9112 section 9.6): a client told
      // "keep-alive" would send its next request into a closing socket.
      const bool last = rc < 0 || ++c->served == MAX_REQUESTS_PER_CONN;
      http_reply r{c->in.sock, rc > 0 && std::strcmp(req->method, "HEAD") == 0 ? 1 : 0,
                   rc > 0 && req->keep_alive != 0 && req->must_close == 0 && !last ? 1 : 0, scratch,
                   &c->out};
      const bool sent =
          rc < 0 ? reply(r, err_status, refusal_reason(err_status), nullptr, "") : answer(r, *req);
      count_kept(c);
      access_answered(&c->access, rc > 0 ? req : nullptr, c->out);
      if (!sent) return conn_turn::close;
      if (r.keep_alive == 0) c->out.close_after = true;
    }
  } catch (...) {
    // Only allocation can throw here; the connection ends and the worker lives on.
    return conn_turn::close;
  }
}
