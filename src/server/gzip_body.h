// gzip_body.h: gzip'd answer bodies (RFC 1952 through zlib's deflate). A page is compressed
// piece by piece as it is rendered, so neither the page nor its compressed form is ever held
// whole; the compressed bytes go to a sink in output blocks of 64 KiB as each fills.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "plat/plat.h"
#include "util/sb.h"

// The head lines of every gzip'd answer: the coding, and that the body depends on the
// request's Accept-Encoding, so a cache keeps the two forms apart.
inline constexpr const char* GZIP_HEADERS = "Content-Encoding: gzip\r\nVary: Accept-Encoding\r\n";
// The head line of a page that could have been gzip'd and was not: it too depends on
// Accept-Encoding, or a shared cache would hand it to a client that asked for gzip (RFC 9110
// section 12.5.5).
inline constexpr const char* PLAIN_PAGE_HEADERS = "Vary: Accept-Encoding\r\n";

// Receives compressed bytes: 0 to go on, nonzero to stop.
using gzip_sink = int (*)(void* ctx, const char* bytes, uint64_t n);

// One gzip stream. Feeding the same bytes in the same pieces gives the same output every time,
// which lets a measuring pass and a sending pass agree on the length.
class gzip_writer {
 public:
  gzip_writer(gzip_sink sink, void* ctx);
  ~gzip_writer();
  gzip_writer(const gzip_writer&) = delete;
  gzip_writer& operator=(const gzip_writer&) = delete;

  bool ready() const { return state_ != nullptr; }  // false when zlib had no memory
  // 0, or -1 when zlib or the sink failed; after a failure every call fails.
  int write(const char* bytes, uint64_t n);
  // Ends the stream and hands on what is left. 0 or -1.
  int finish();
  uint64_t total_out() const { return total_out_; }

 private:
  struct state;
  int pump(int flush);
  int emit();
  std::unique_ptr<state> state_;
  gzip_sink sink_;
  void* ctx_;
  uint64_t total_out_ = 0;
  bool failed_ = false;
};

// Feeds a gzip_writer from a helper thread, so a page is rendered and compressed at the same
// time: write() copies a piece into one of a few slots and returns while the helper compresses
// the slots in order. Without a thread (none could be started) it compresses on the caller's.
class gzip_pipe {
 public:
  explicit gzip_pipe(gzip_writer* gz);
  ~gzip_pipe();
  gzip_pipe(const gzip_pipe&) = delete;
  gzip_pipe& operator=(const gzip_pipe&) = delete;

  // 0, or -1 once compressing failed.
  int write(const char* bytes, uint64_t n);
  // Waits until every piece is compressed, ends the helper, and finishes the stream. 0 or -1.
  int finish();

 private:
  static constexpr int SLOTS = 3;
  static void run(void* self);
  void stop();
  gzip_writer* gz_;
  plat_mutex m_;
  plat_cond c_;
  string_builder slot_[SLOTS];
  int head_ = 0;   // the slot the helper takes next
  int count_ = 0;  // filled slots, the one being compressed included
  bool closing_ = false;
  bool failed_ = false;
  bool started_ = false;
  plat_thread thread_ = nullptr;
};

// Appends the gzip'd form of TEXT to OUT. 0 or -1.
int gzip_text(std::string_view text, string_builder* out);
