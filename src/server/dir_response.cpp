// dir_response.cpp: enumerates a folder afresh for every request and renders it for people
// (HTML) or programs (JSON pages). Enumeration and rendering belong to content; this file only
// reads the query, picks the renderer and sends the result, gzip'd when the client admits it.
#include "server/dir_response.h"

#include <cstdlib>
#include <cstring>

#include "content/listing.h"
#include "content/resolve.h"
#include "server/conditional.h"
#include "server/gzip_body.h"
#include "util/sb.h"
#include "util/str.h"

namespace {

// Buffers for the query values: a value too long for its buffer fails to decode and so counts
// as absent.
constexpr uint64_t FORMAT_BYTES = 16;
constexpr uint64_t NUMBER_BYTES = 24;
// One JSON page holds at most this many entries; the listing applies the same bound.
constexpr int DEFAULT_PAGE_ENTRIES = 500;

// The decimal value of query parameter NAME: FALLBACK when absent or undecodable; a text
// without a leading number reads as 0, as strtol has it.
int query_int(const char* query, const char* name, int fallback) {
  char buf[NUMBER_BYTES];
  if (query_val(query, name, buf, sizeof buf) != 0) return fallback;
  long v = std::strtol(buf, nullptr, 10);
  if (v > 2147483647L) return 2147483647;
  if (v < -2147483647L - 1) return -2147483647 - 1;
  return static_cast<int>(v);
}

// A page is rendered and sent in pieces of about this size, so a folder of 100,000 entries
// never sits in memory as one text.
constexpr uint64_t PAGE_PIECE_BYTES = 65536;

// The measuring pass: counts the page's bytes and keeps the first piece, which is the whole
// page of any folder small enough to fit one piece.
struct page_measure {
  uint64_t total = 0;
  int pieces = 0;
  sb_owner first;
};

int measure_piece(void* ctx, const char* bytes, uint64_t n) {
  auto* m = static_cast<page_measure*>(ctx);
  if (m->pieces++ == 0 && sb_putn(m->first.get(), bytes, n) != 0) return -1;
  m->total += n;
  return 0;
}

int send_piece(void* ctx, const char* bytes, uint64_t n) {
  return send_all(*static_cast<const plat_sock*>(ctx), bytes, n);
}

// Pieces of the page go through a gzip stream on their way to its sink.
int gzip_piece(void* ctx, const char* bytes, uint64_t n) {
  return static_cast<gzip_pipe*>(ctx)->write(bytes, n);
}

bool server_error(const http_reply& r) {
  return reply(r, 500, "Internal Server Error", "text/plain", "error\n");
}

// A body small enough to hold, gzip'd as a whole.
bool reply_gzip(const http_reply& r, const char* type, std::string_view body) {
  sb_owner packed;
  if (gzip_text(body, packed.get()) != 0) return server_error(r);
  return reply(r, 200, "OK", type, std::string_view(packed.str(), packed.len()), GZIP_HEADERS);
}

// The compressed page is kept while it stays within this many output blocks of at most 64 KiB
// (1 MiB): a folder of 100,000 short names compresses to about half a megabyte and so is
// compressed once. A page that outgrows the bound is let go and compressed a second time as it
// is sent, so no folder makes a worker hold more than the bound, and the page itself is never
// held whole in either case.
constexpr int GZIP_HOLD_BLOCKS = 16;

struct gzip_hold {
  int bound = GZIP_HOLD_BLOCKS;
  uint64_t total = 0;
  int blocks = 0;
  bool dropped = false;
  heap_text block[GZIP_HOLD_BLOCKS];
  uint64_t len[GZIP_HOLD_BLOCKS] = {};
};

int hold_block(void* ctx, const char* bytes, uint64_t n) {
  auto* h = static_cast<gzip_hold*>(ctx);
  h->total += n;
  if (h->dropped) return 0;
  if (h->blocks >= h->bound) {
    h->dropped = true;
    for (heap_text& b : h->block) b.reset();
    return 0;
  }
  char* copy = static_cast<char*>(std::malloc(n));
  if (copy == nullptr) return -1;
  std::memcpy(copy, bytes, n);
  h->block[h->blocks].reset(copy);
  h->len[h->blocks++] = n;
  return 0;
}

// The page gzip'd piece by piece as it is rendered. The head states the compressed length, so
// the page is compressed before the head goes out; it is then sent from the held blocks, or,
// when it outgrew them, compressed again while it is sent: both passes get the same pieces, so
// they give the same bytes.
bool answer_html_gzip(const http_reply& r, string_builder* piece, const char* root_name,
                      const char* rel, const dent* entries, int count, int truncated,
                      const char* type) {
  gzip_hold h;
  const int bound = gzip_hold_blocks.load(std::memory_order_relaxed);
  h.bound = bound < GZIP_HOLD_BLOCKS ? bound : GZIP_HOLD_BLOCKS;
  {
    gzip_writer measure(hold_block, &h);
    gzip_pipe pipe(&measure);
    const int rc = render_html_pieces(piece, root_name, rel, entries, count, truncated,
                                      PAGE_PIECE_BYTES, gzip_piece, &pipe);
    if (rc == -1) return reply(r, 400, "Bad Request", "text/plain", "bad request\n");
    if (rc != 0 || pipe.finish() != 0) return server_error(r);
  }
  if (!h.dropped && h.blocks <= 1) {
    return reply(r, 200, "OK", type, std::string_view(h.block[0].get(), h.len[0]), GZIP_HEADERS);
  }
  if (respond(r.sock, 200, "OK", type, nullptr, h.total, GZIP_HEADERS, 1, r.keep_alive,
              r.scratch) != 0) {
    return false;
  }
  if (r.head_only != 0) return true;
  if (!h.dropped) {
    for (int i = 0; i < h.blocks; ++i) {
      if (send_all(r.sock, h.block[i].get(), h.len[i]) != 0) return false;
    }
    return true;
  }
  plat_sock sock = r.sock;
  gzip_writer out(send_piece, &sock);
  gzip_pipe pipe(&out);
  // A stream that came out longer or shorter than the head said cannot be repaired once the
  // head is sent; only ending the connection tells the client.
  return render_html_pieces(piece, root_name, rel, entries, count, truncated, PAGE_PIECE_BYTES,
                            gzip_piece, &pipe) == 0 &&
         pipe.finish() == 0 && out.total_out() == h.total;
}

// Sends the HTML page in pieces behind a head that states its length, measured by a first
// rendering; the two renderings are one code path, so the length cannot disagree.
bool answer_html(const http_reply& r, const char* root_name, const char* rel, const dent* entries,
                 int count, int truncated, bool gzip) {
  constexpr const char* type = "text/html; charset=utf-8";
  sb_owner piece;
  if (gzip) {
    return answer_html_gzip(r, piece.get(), root_name, rel, entries, count, truncated, type);
  }
  page_measure m;
  const int rc = render_html_pieces(piece.get(), root_name, rel, entries, count, truncated,
                                    PAGE_PIECE_BYTES, measure_piece, &m);
  // A title path the page cannot hold means the request named something no page can show:
  // say so instead of answering an empty page with 200.
  if (rc == -1) return reply(r, 400, "Bad Request", "text/plain", "bad request\n");
  if (rc != 0) return server_error(r);
  if (m.pieces <= 1) {
    return reply(r, 200, "OK", type, std::string_view(m.first.str(), m.first.len()),
                 PLAIN_PAGE_HEADERS);
  }
  // The head alone, stating the whole length; HEAD ends there.
  if (respond(r.sock, 200, "OK", type, nullptr, m.total, PLAIN_PAGE_HEADERS, 1, r.keep_alive,
              r.scratch) != 0) {
    return false;
  }
  if (r.head_only != 0) return true;
  plat_sock sock = r.sock;
  return render_html_pieces(piece.get(), root_name, rel, entries, count, truncated,
                            PAGE_PIECE_BYTES, send_piece, &sock) == 0;
}

struct dents_owner {
  dent* entries = nullptr;
  int count = 0;
  ~dents_owner() { free_dents(entries, count); }
};

}  // namespace

std::atomic<int> gzip_hold_blocks{GZIP_HOLD_BLOCKS};

bool serve_folder(const http_reply& r, const http_request& req, const char* root_name,
                  const char* rel, const opened_target& folder) {
  entry_rule rule{&folder, rel};
  const entry_links links{entry_served, &rule};
  // Only listings are compressed: files are mostly media, compressed already, and a range of a
  // gzip'd file would not be the file's bytes.
  const bool gzip = accepts_gzip(req.accept_encoding.get());
  char format[FORMAT_BYTES];
  bool json = query_val(req.query, "format", format, sizeof format) == 0 && str_ieq(format, "json");

  dents_owner list;
  int truncated = 0;
  if (json) {
    int offset = query_int(req.query, "cursor", 0);
    int limit = query_int(req.query, "limit", DEFAULT_PAGE_ENTRIES);
    // A page shows at most 500 entries: only those are examined, not the whole folder.
    int first = 0;
    int n = 0;
    json_window(offset, limit, &first, &n);
    if (list_opened_window(folder.o.dir, links, first, n, &list.entries, &list.count, &truncated) !=
        0) {
      return reply(r, 500, "Internal Server Error", "text/plain", "error\n");
    }
    sb_owner body;
    render_json(body.get(), list.entries, list.count, offset, limit);
    const std::string_view text(body.str(), body.len());
    return gzip ? reply_gzip(r, "application/json", text)
                : reply(r, 200, "OK", "application/json", text, PLAIN_PAGE_HEADERS);
  }
  if (list_opened(folder.o.dir, links, &list.entries, &list.count, &truncated) != 0) {
    return reply(r, 500, "Internal Server Error", "text/plain", "error\n");
  }
  return answer_html(r, root_name, rel, list.entries, list.count, truncated, gzip);
}
