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
#include "plat/plat.h"
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
constexpr uint64_t GZIP_HOLD_BLOCK_BYTES = 65536;

// The kept page sits in pages taken from the system, reserved by the worker, filled by the
// compressing thread and handed back at once. Blocks from the allocator would come from that
// thread's own pool, which keeps what it once held: with them, the peak memory of an unpinned
// run over the 100,000-entry page was about half a megabyte higher.
struct gzip_hold {
  uint64_t bound = 0;  // bytes
  uint64_t total = 0;
  uint64_t kept = 0;
  bool dropped = false;
  char* pages = nullptr;
  ~gzip_hold() { let_go(); }
  void let_go() {
    plat_pages_free(pages, bound);
    pages = nullptr;
  }
};

int hold_block(void* ctx, const char* bytes, uint64_t n) {
  auto* h = static_cast<gzip_hold*>(ctx);
  h->total += n;
  if (h->dropped) return 0;
  if (h->pages == nullptr || n > h->bound - h->kept) {
    h->dropped = true;
    h->let_go();
    return 0;
  }
  std::memcpy(h->pages + h->kept, bytes, n);
  h->kept += n;
  return 0;
}

struct dents_owner {
  dent* entries = nullptr;
  int count = 0;
  dents_owner() = default;
  dents_owner(const dents_owner&) = delete;
  dents_owner& operator=(const dents_owner&) = delete;
  ~dents_owner() { free_dents(entries, count); }
};

// What one turn does for a page before the connection goes back behind the others ready: read
// this many entries of the folder, or render this many pieces to measure (about half a megabyte
// of HTML). Either takes a few milliseconds; a page of 60,000 entries takes many turns, and the
// connections ready meanwhile (a ping, another page) get theirs in between instead of waiting
// for whole folders.
constexpr int ENTRIES_PER_TURN = 4096;
constexpr int PIECES_PER_TURN = 8;

// The answer to a folder page, made as the connection's turns come: the folder is read a part a
// turn, its open handle held meanwhile. The head states the page's length, so the page is first
// rendered to measure it (and gzip'd when the client admits it,
// the compressed blocks kept while they fit the bound): a few pieces a turn, the connection
// going back behind the others ready between turns. Then the head goes out, and the page from
// the poller like a file body: the first piece or the kept blocks at once, else rendered again
// (and gzip'd again) piece by piece as the socket takes it. A slow reader holds the entry list
// and one piece, never the whole page (16 MB for 60,000 entries) nor a worker. Both renderings
// are one code path over the same entries in the same pieces, so the bytes match the length
// the head promised; if they did not, the body fails and the connection ends, the only way left
// to tell the client.
class page_source : public http_source {
 public:
  page_source(std::unique_ptr<opened_target> folder, const char* root_name, const char* rel,
              const http_reply& r, bool gzip)
      : folder_(std::move(folder)),
        root_name_(root_name),
        rel_(rel),
        keep_alive_(r.keep_alive),
        head_only_(r.head_only != 0),
        gzip_(gzip) {
    rule_ = entry_rule{folder_.get(), rel_.c_str()};
    job_ = list_begin(folder_->o.dir, entry_links{entry_served, &rule_, server_stopping});
    if (gzip_) {
      const int bound = gzip_hold_blocks.load(std::memory_order_relaxed);
      hold_.bound = (bound < GZIP_HOLD_BLOCKS ? bound : GZIP_HOLD_BLOCKS) * GZIP_HOLD_BLOCK_BYTES;
      hold_.pages = static_cast<char*>(plat_pages_alloc(hold_.bound));
      measure_gz_ = std::make_unique<gzip_writer>(hold_block, &hold_);
      measure_pipe_ = std::make_unique<gzip_pipe>(measure_gz_.get());
    }
  }

  ~page_source() override {
    if (job_ != nullptr) list_drop(job_);
  }

  int descriptors() const override { return folder_ ? 1 : 0; }

  int more(std::string* out) override {
    if (folder_) {
      const int read = read_folder(out);
      if (read != 0) return read;
    }
    if (measuring_) return measure(out);
    if (!sending_) return 0;
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
  static constexpr const char* TYPE = "text/html; charset=utf-8";

  // One turn of reading the folder: 2 while more is to be read, 0 once the entries are listed
  // (and the folder let go), else what more() returns.
  int read_folder(std::string* out) {
    if (job_ != nullptr && list_more(job_, ENTRIES_PER_TURN)) return 2;
    // No job: not even the list could be made.
    const int listed =
        job_ != nullptr ? list_end(job_, &list_.entries, &list_.count, &truncated_) : -1;
    job_ = nullptr;
    folder_.reset();
    if (server_stopping()) return -1;  // the reading was cut short
    if (listed != 0) return failed(out);
    html_page_begin(&page_, root_name_.c_str(), rel_.c_str(), list_.entries, list_.count,
                    truncated_);
    return 0;
  }

  // One turn of measuring; once the page is measured, its head and what is held of it.
  int measure(std::string* out) {
    for (int i = 0; i < PIECES_PER_TURN; ++i) {
      sb_reset(piece_.get());
      if (!html_page_next(&page_, piece_.get(), PAGE_PIECE_BYTES)) {
        measuring_ = false;
        return gzip_ ? measured_gzip(out) : measured_plain(out);
      }
      const uint64_t n = piece_.len();
      if (gzip_) {
        if (measure_pipe_->write(piece_.str(), n) != 0) return failed(out);
      } else if (pieces_++ == 0) {
        if (sb_putn(first_.get(), piece_.str(), n) != 0) return failed(out);
      }
      total_ += n;
    }
    return 2;
  }

  int measured_plain(std::string* out) {
    if (!head(out, total_, PLAIN_PAGE_HEADERS)) return -1;
    if (head_only_) return 1;
    if (pieces_ <= 1) {
      out->append(first_.str(), first_.len());
      return 1;
    }
    sb_free(first_.get());
    send_again(total_);
    return 1;
  }

  int measured_gzip(std::string* out) {
    const int finished = measure_pipe_->finish();
    measure_pipe_.reset();
    measure_gz_.reset();
    if (finished != 0) return failed(out);
    if (!head(out, hold_.total, GZIP_HEADERS)) return -1;
    if (head_only_) return 1;
    if (!hold_.dropped) {
      // At most the bound: kept until the socket takes it.
      out->append(hold_.pages, hold_.kept);
      hold_.let_go();
      return 1;
    }
    gz_ = std::make_unique<gzip_writer>(append_out, this);
    send_again(hold_.total);
    return 1;
  }

  // The page is rendered again from its first piece as the socket takes it.
  void send_again(uint64_t promised) {
    html_page_begin(&page_, root_name_.c_str(), rel_.c_str(), list_.entries, list_.count,
                    truncated_);
    promised_ = promised;
    sending_ = true;
  }

  bool head(std::string* out, uint64_t length, const char* extra) {
    sb_owner text;
    if (build_head(text.get(), 200, "OK", TYPE, length, extra, keep_alive_) != 0) return false;
    out->append(text.str(), text.len());
    return true;
  }

  // Nothing of the page went out yet: the client is told.
  int failed(std::string* out) {
    measuring_ = false;
    sb_owner text;
    if (build_head(text.get(), 500, "Internal Server Error", "text/plain", 6, nullptr,
                   keep_alive_) != 0) {
      return -1;
    }
    out->append(text.str(), text.len());
    if (!head_only_) out->append("error\n");
    return 1;
  }

  static int append_out(void* ctx, const char* bytes, uint64_t n) {
    static_cast<page_source*>(ctx)->out_->append(bytes, n);
    return 0;
  }

  std::unique_ptr<opened_target> folder_;  // while its entries are read
  std::string root_name_;
  std::string rel_;
  entry_rule rule_{};
  list_job* job_ = nullptr;
  dents_owner list_;
  int truncated_ = 0;
  int keep_alive_;
  bool head_only_;
  bool gzip_;
  html_page page_;
  sb_owner piece_;
  // While measuring.
  bool measuring_ = true;
  uint64_t total_ = 0;
  int pieces_ = 0;
  sb_owner first_;  // the first piece: the whole page of a folder that fits one
  gzip_hold hold_;
  std::unique_ptr<gzip_writer> measure_gz_;
  std::unique_ptr<gzip_pipe> measure_pipe_;
  // While sending again.
  bool sending_ = false;
  std::unique_ptr<gzip_writer> gz_;
  std::string* out_ = nullptr;
  uint64_t promised_ = 0;
  uint64_t made_ = 0;
  bool finished_ = false;
};

}  // namespace

std::atomic<int> gzip_hold_blocks{GZIP_HOLD_BLOCKS};

bool serve_folder(const http_reply& r, const http_request& req, const char* root_name,
                  const char* rel, std::unique_ptr<opened_target> folder) {
  entry_rule rule{folder.get(), rel};
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
    if (list_opened_window(folder->o.dir, links, first, n, &list.entries, &list.count,
                           &truncated) != 0) {
      return reply(r, 500, "Internal Server Error", "text/plain", "error\n");
    }
    if (server_stopping()) return false;
    sb_owner body;
    render_json(body.get(), list.entries, list.count, offset, limit);
    const std::string_view text(body.str(), body.len());
    return gzip ? reply_gzip(r, "application/json", text)
                : reply(r, 200, "OK", "application/json", text, PLAIN_PAGE_HEADERS);
  }
  // Everything of the page, head included, goes out through the connection's output, behind
  // anything queued before it.
  r.out->source = std::make_unique<page_source>(std::move(folder), root_name, rel, r, gzip);
  return true;
}
