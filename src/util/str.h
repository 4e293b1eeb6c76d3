// str.h: small byte-string helpers. Case folding touches ASCII A-Z only.
#pragma once

#include <cstdlib>
#include <memory>

int str_ieq(const char* a, const char* b);  // 1 equal ignoring ASCII case (two nulls equal)
// Pointer into S just behind prefix P (compared ignoring ASCII case), or null.
const char* str_iprefix(const char* s, const char* p);
char* x_strdup(const char* s);  // heap copy the caller frees with free(); null for null or OOM

// Owns a heap text from a C-style helper (x_strdup, plat_realpath).
struct free_deleter {
  void operator()(void* p) const { std::free(p); }
};
using heap_text = std::unique_ptr<char, free_deleter>;
