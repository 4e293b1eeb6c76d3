// dir_response.cpp: enumerates a folder afresh for every request and renders it for people
// (HTML) or programs (JSON pages). Enumeration and rendering belong to content; this file only
// reads the query, picks the renderer and sends the result, gzip'd when the client admits it.
#include "server/dir_response.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "content/listing.h"
#include "content/resolve.h"
#include "server/conditional.h"
#include "server/gzip_body.h"
#include "server/handler.h"
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
  if (server_stopping()) return -1;
  auto* m = static_cast<page_measure*>(ctx);
  if (m->pieces++ == 0 && sb_putn(m->first.get(), bytes, n) != 0) return -1;
  m->total += n;
  return 0;
}

// Pieces of the page go through a gzip stream on their way to its sink. A stop ends the
// rendering of a large page between two pieces.
int gzip_piece(void* ctx, const char* bytes, uint64_t n) {
  if (server_stopping()) return -1;
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
// is sent, so no folder makes a connection hold more than the bound, and the page itself is
// never held whole in either case.
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

struct dents_owner {
  dent* entries = nullptr;
  int count = 0;
  dents_owner() = default;
  dents_owner(const dents_owner&) = delete;
  dents_owner& operator=(const dents_owner&) = delete;
  ~dents_owner() { free_dents(entries, count); }
  void move_to(dents_owner* to) {
    std::swap(entries, to->entries);
    std::swap(count, to->count);
  }
};

// The rest of a page that did not fit one piece, rendered again as the socket takes it (and
// gzip'd again when the page is sent compressed). It goes out from the poller like a file body,
// so no worker waits for a slow reader. Rendering again rather than producing ahead: ahead, a
// slow reader would hold the whole page (16 MB for 60,000 entries) or a worker; here it holds
// the entry list and one piece. Both renderings are one code path over the same entries in the
// same pieces, so the bytes match the length the head promised; if they did not, the body fails
// and the connection ends, the only way left to tell the client.
class page_source : public http_source {
 public:
  page_source(dents_owner* list, const char* root_name, const char* rel, int truncated,
              uint64_t promised, bool gzip)
      : root_name_(root_name), rel_(rel), promised_(promised) {
    list->move_to(&list_);
    html_page_begin(&page_, root_name_.c_str(), rel_.c_str(), list_.entries, list_.count,
                    truncated);
    if (gzip) gz_ = std::make_unique<gzip_writer>(append_out, this);
  }

  int more(std::string* out) override {
    const size_t before = out->size();
    out_ = out;
    while (out->size() == before && !finished_) {
      if (page_.done) {
        finished_ = true;
        if (gz_ && gz_->finish() != 0) return -1;
        continue;
      }
      sb_reset(piece_.get());
      html_page_next(&page_, piece_.get(), PAGE_PIECE_BYTES);
      if (!gz_) {
        out->append(piece_.str(), piece_.len());
      } else if (gz_->write(piece_.str(), piece_.len()) != 0) {
        return -1;
      }
    }
    made_ += out->size() - before;
    if (made_ > promised_ || (finished_ && made_ != promised_)) return -1;
    return out->size() > before ? 1 : 0;
  }

 private:
  static int append_out(void* ctx, const char* bytes, uint64_t n) {
    static_cast<page_source*>(ctx)->out_->append(bytes, n);
    return 0;
  }

  dents_owner list_;
  std::string root_name_;
  std::string rel_;
  html_page page_;
  sb_owner piece_;
  std::unique_ptr<gzip_writer> gz_;
  std::string* out_ = nullptr;
  uint64_t promised_;
  uint64_t made_ = 0;
  bool finished_ = false;
};

// The head of a page of LENGTH bytes, kept in R's output behind anything queued. HEAD ends there.
bool page_head(const http_reply& r, const char* type, uint64_t length, const char* extra) {
  sb_owner own;
  string_builder* head = r.scratch != nullptr ? r.scratch : own.get();
  if (build_head(head, 200, "OK", type, length, extra, r.keep_alive) != 0) return false;
  return send_or_keep(r.sock, r.out, std::string_view(head->data, head->len), {});
}

// The page gzip'd piece by piece as it is rendered. The head states the compressed length, so
// the page is compressed before the head goes out; it is then sent from the held blocks, or,
// when it outgrew them, compressed again while it is sent.
bool answer_html_gzip(const http_reply& r, string_builder* piece, const char* root_name,
                      const char* rel, dents_owner* list, int truncated, const char* type) {
  gzip_hold h;
  const int bound = gzip_hold_blocks.load(std::memory_order_relaxed);
  h.bound = bound < GZIP_HOLD_BLOCKS ? bound : GZIP_HOLD_BLOCKS;
  {
    gzip_writer measure(hold_block, &h);
    gzip_pipe pipe(&measure);
    const int rc = render_html_pieces(piece, root_name, rel, list->entries, list->count, truncated,
                                      PAGE_PIECE_BYTES, gzip_piece, &pipe);
    if (server_stopping()) return false;
    if (rc != 0 || pipe.finish() != 0) return server_error(r);
  }
  if (!h.dropped && h.blocks <= 1) {
    return reply(r, 200, "OK", type, std::string_view(h.block[0].get(), h.len[0]), GZIP_HEADERS);
  }
  if (!page_head(r, type, h.total, GZIP_HEADERS)) return false;
  if (r.head_only != 0) return true;
  if (!h.dropped) {
    // At most the bound: kept until the socket takes it.
    for (int i = 0; i < h.blocks; ++i) r.out->bytes.append(h.block[i].get(), h.len[i]);
    return true;
  }
  r.out->source = std::make_unique<page_source>(list, root_name, rel, truncated, h.total, true);
  return true;
}

// Sends the HTML page behind a head that states its length, measured by a first rendering; the
// rest is rendered again as it is sent.
bool answer_html(const http_reply& r, const char* root_name, const char* rel, dents_owner* list,
                 int truncated, bool gzip) {
  constexpr const char* type = "text/html; charset=utf-8";
  sb_owner piece;
  if (gzip) return answer_html_gzip(r, piece.get(), root_name, rel, list, truncated, type);
  page_measure m;
  const int rc = render_html_pieces(piece.get(), root_name, rel, list->entries, list->count,
                                    truncated, PAGE_PIECE_BYTES, measure_piece, &m);
  if (server_stopping()) return false;
  if (rc != 0) return server_error(r);
  if (m.pieces <= 1) {
    return reply(r, 200, "OK", type, std::string_view(m.first.str(), m.first.len()));
  }
  if (!page_head(r, type, m.total, nullptr)) return false;
  if (r.head_only != 0) return true;
  r.out->source = std::make_unique<page_source>(list, root_name, rel, truncated, m.total, false);
  return true;
}

}  // namespace

std::atomic<int> gzip_hold_blocks{GZIP_HOLD_BLOCKS};

bool serve_folder(const http_reply& r, const http_request& req, const char* root_name,
                  const char* rel, const opened_target& folder) {
  entry_rule rule{&folder, rel};
  const entry_links links{entry_served, &rule, server_stopping};
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
    if (server_stopping()) return false;
    sb_owner body;
    render_json(body.get(), list.entries, list.count, offset, limit);
    const std::string_view text(body.str(), body.len());
    return gzip ? reply_gzip(r, "application/json", text)
                : reply(r, 200, "OK", "application/json", text);
  }
  if (list_opened(folder.o.dir, links, &list.entries, &list.count, &truncated) != 0) {
    return reply(r, 500, "Internal Server Error", "text/plain", "error\n");
  }
  if (server_stopping()) return false;  // the reading was cut short
  return answer_html(r, root_name, rel, &list, truncated, gzip);
}
