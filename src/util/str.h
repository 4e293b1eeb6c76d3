// str.h: small byte-string helpers. Case folding touches ASCII A-Z only.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

int str_ieq(const char* a, const char* b);  // 1 equal ignoring ASCII case (two nulls equal)
// Pointer into S just behind prefix P (compared ignoring ASCII case), or null.
const char* str_iprefix(const char* s, const char* p);
char* x_strdup(const char* s);  // heap copy the caller frees with free(); null for null or OOM
// The length of the longest prefix of S[0..LEN) that does not end inside a UTF-8 character: where
// a text was cut at LEN bytes, cutting it here instead keeps it UTF-8. Bytes that start no
// character (not UTF-8 at all) are kept as they are.
size_t str_utf8_whole_len(const char* s, size_t len);

// Owns a heap text from a C-style helper (x_strdup, plat_realpath).
struct free_deleter {
  void operator()(void* p) const { std::free(p); }
};
using heap_text = std::unique_ptr<char, free_deleter>;
