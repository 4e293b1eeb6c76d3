// sb.h: the string builder, a growable byte buffer that is always zero-terminated. Response
// heads, listing pages and JSON texts are assembled in one before they are sent or copied out.
// A failed append leaves the builder exactly as it was; there is no sticky error.
#pragma once

#include <cstdint>

struct string_builder {
  char* data;    // heap block: the text and one zero byte; null until the first append
  uint64_t len;  // text bytes, terminator excluded (embedded zero bytes counted)
  uint64_t cap;  // block size in bytes; 0 while data is null
};

void sb_init(string_builder* sb);   // empty, allocates nothing
void sb_free(string_builder* sb);   // releases the block; the builder may be used again
void sb_reset(string_builder* sb);  // length 0, block kept
// The text, or "" when nothing was appended. Valid until the next append or sb_free.
const char* sb_str(const string_builder* sb);
int sb_putc(string_builder* sb, int byte);                       // 0 or -1
int sb_putn(string_builder* sb, const void* bytes, uint64_t n);  // 0 or -1
int sb_puts(string_builder* sb, const char* s);                  // null appends nothing: 0
int sb_printf(string_builder* sb, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Owns a string_builder for a scope.
class sb_owner {
 public:
  sb_owner() { sb_init(&b_); }
  ~sb_owner() { sb_free(&b_); }
  sb_owner(const sb_owner&) = delete;
  sb_owner& operator=(const sb_owner&) = delete;
  string_builder* get() { return &b_; }
  const char* str() const { return sb_str(&b_); }
  uint64_t len() const { return b_.len; }

 private:
  string_builder b_;
};
