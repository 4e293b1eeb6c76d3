// gzip_body.cpp: the deflate loop behind gzip_writer. Level and tuning were chosen by running
// the 100,000-entry page through each (docs/performance.md): the lazy levels (4 to 9) took 3 to
// 15 times as long and sent more bytes than level 1 on a page whose rows differ in a few bytes.
#include "server/gzip_body.h"

#include <zlib.h>

#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr int GZIP_LEVEL = 1;
constexpr int GZIP_WINDOW_BITS = 15 + 16;  // the largest window, with a gzip wrapper
// Smaller blocks follow the rows' changes more closely: on the 100,000-entry page, 486,625 bytes
// at 4 against 498,317 at 7, with less hash memory.
constexpr int GZIP_MEM_LEVEL = 4;
// Level 1 with every position of a match entered in the hash table (zlib's level 1 enters them
// only for matches of up to 4 bytes): rows of a listing differ in a few bytes each, and the next
// row finds its long match only through those positions (546,683 bytes untuned).
constexpr int TUNE_GOOD = 4;
constexpr int TUNE_MAX_INSERT = 258;
constexpr int TUNE_NICE = 8;
constexpr int TUNE_CHAIN = 4;
constexpr uInt OUT_BLOCK_BYTES = 65536;
// deflate takes at most this many input bytes per call (its counters are 32-bit).
constexpr uint64_t IN_STEP_BYTES = 1u << 30;

int append_sink(void* ctx, const char* bytes, uint64_t n) {
  return sb_putn(static_cast<string_builder*>(ctx), bytes, n);
}

}  // namespace

struct gzip_writer::state {
  z_stream z{};
  unsigned char out[OUT_BLOCK_BYTES];
  ~state() { deflateEnd(&z); }
};

gzip_writer::gzip_writer(gzip_sink sink, void* ctx) : sink_(sink), ctx_(ctx) {
  std::unique_ptr<state> s(new (std::nothrow) state);
  if (!s) return;
  // deflateEnd on a stream that never started is harmless (it finds no state to free), so a
  // failed start is simply dropped.
  if (deflateInit2(&s->z, GZIP_LEVEL, Z_DEFLATED, GZIP_WINDOW_BITS, GZIP_MEM_LEVEL,
                   Z_DEFAULT_STRATEGY) != Z_OK ||
      deflateTune(&s->z, TUNE_GOOD, TUNE_MAX_INSERT, TUNE_NICE, TUNE_CHAIN) != Z_OK) {
    return;
  }
  s->z.next_out = s->out;
  s->z.avail_out = OUT_BLOCK_BYTES;
  state_ = std::move(s);
}

gzip_writer::~gzip_writer() = default;

// Hands the filled part of the output block to the sink and starts the block again.
int gzip_writer::emit() {
  z_stream& z = state_->z;
  const uInt produced = OUT_BLOCK_BYTES - z.avail_out;
  z.next_out = state_->out;
  z.avail_out = OUT_BLOCK_BYTES;
  if (produced == 0) return 0;
  total_out_ += produced;
  return sink_(ctx_, reinterpret_cast<const char*>(state_->out), produced);
}

// Runs deflate until it wants more input (or, with Z_FINISH, until the stream ended). Only
// full output blocks go to the sink before the end, so a sink that sends them sends few large
// pieces rather than one per page piece.
int gzip_writer::pump(int flush) {
  z_stream& z = state_->z;
  for (;;) {
    const int rc = deflate(&z, flush);
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return -1;
    const bool full = z.avail_out == 0;
    if ((full || rc == Z_STREAM_END) && emit() != 0) return -1;
    if (rc == Z_STREAM_END) return 0;
    // Room left in the block means deflate has taken all its input and holds nothing more to
    // give until it gets more; while finishing, it means no progress is possible.
    if (!full) {
      if (flush != Z_FINISH) return 0;
      if (rc == Z_BUF_ERROR) return -1;
    }
  }
}

int gzip_writer::write(const char* bytes, uint64_t n) {
  if (!state_ || failed_) return -1;
  while (n > 0) {
    const uint64_t step = n < IN_STEP_BYTES ? n : IN_STEP_BYTES;
    state_->z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes));
    state_->z.avail_in = static_cast<uInt>(step);
    if (pump(Z_NO_FLUSH) != 0) {
      failed_ = true;
      return -1;
    }
    bytes += step;
    n -= step;
  }
  return 0;
}

int gzip_writer::finish() {
  if (!state_ || failed_) return -1;
  state_->z.next_in = nullptr;
  state_->z.avail_in = 0;
  if (pump(Z_FINISH) != 0) {
    failed_ = true;
    return -1;
  }
  return 0;
}

gzip_pipe::gzip_pipe(gzip_writer* gz) : gz_(gz) {
  plat_mutex_init(&m_);
  plat_cond_init(&c_);
  for (string_builder& s : slot_) sb_init(&s);
  started_ = plat_thread_start(&thread_, run, this) == 0;
}

gzip_pipe::~gzip_pipe() {
  {
    // Left early (the page failed): what is still queued is not worth compressing.
    plat_lock_guard hold(&m_);
    failed_ = true;
  }
  stop();
  for (string_builder& s : slot_) sb_free(&s);
  plat_cond_destroy(&c_);
  plat_mutex_destroy(&m_);
}

void gzip_pipe::stop() {
  if (!started_) return;
  {
    plat_lock_guard hold(&m_);
    closing_ = true;
    plat_cond_broadcast(&c_);
  }
  plat_thread_join(thread_);
  started_ = false;
}

void gzip_pipe::run(void* arg) {
  auto* self = static_cast<gzip_pipe*>(arg);
  plat_lock_guard hold(&self->m_);
  for (;;) {
    while (self->count_ == 0 && !self->closing_) plat_cond_wait_ms(&self->c_, &self->m_, 1000);
    if (self->count_ == 0) return;
    // The producer fills only other slots while this one is counted, so it is read unlocked.
    string_builder* s = &self->slot_[self->head_];
    const bool skip = self->failed_;
    plat_unlock(&self->m_);
    const int rc = skip ? -1 : self->gz_->write(s->data, s->len);
    plat_lock(&self->m_);
    if (rc != 0) self->failed_ = true;
    sb_reset(s);
    self->head_ = (self->head_ + 1) % SLOTS;
    --self->count_;
    plat_cond_broadcast(&self->c_);
  }
}

int gzip_pipe::write(const char* bytes, uint64_t n) {
  if (!started_) return gz_->write(bytes, n);
  plat_lock_guard hold(&m_);
  while (count_ == SLOTS && !failed_) plat_cond_wait_ms(&c_, &m_, 1000);
  if (failed_) return -1;
  if (sb_putn(&slot_[(head_ + count_) % SLOTS], bytes, n) != 0) return -1;
  ++count_;
  plat_cond_broadcast(&c_);
  return 0;
}

int gzip_pipe::finish() {
  stop();
  if (failed_) return -1;
  return gz_->finish();
}

int gzip_text(std::string_view text, string_builder* out) {
  gzip_writer gz(append_sink, out);
  if (gz.write(text.data(), text.size()) != 0) return -1;
  return gz.finish();
}
