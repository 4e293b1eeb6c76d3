// gzip_body.h: gzip'd answer bodies (RFC 1952 through zlib's deflate). A page is compressed
// piece by piece as it is rendered, so neither the page nor its compressed form is ever held
// whole; the compressed bytes go to a sink in output blocks of 64 KiB as each fills.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

struct string_builder;

// The head lines of every gzip'd answer: the coding, and that the body depends on the
// request's Accept-Encoding, so a cache keeps the two forms apart.
inline constexpr const char* GZIP_HEADERS = "Content-Encoding: gzip\r\nVary: Accept-Encoding\r\n";

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

// Appends the gzip'd form of TEXT to OUT. 0 or -1.
int gzip_text(std::string_view text, string_builder* out);
