// str.cpp: byte-string helpers. Folding is ASCII-only on purpose: names are UTF-8 bytes and
// a locale must never change what compares equal.
#include "util/str.h"

#include <cstring>

namespace {

unsigned char fold(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

}  // namespace

int str_ieq(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b ? 1 : 0;
  const auto* x = reinterpret_cast<const unsigned char*>(a);
  const auto* y = reinterpret_cast<const unsigned char*>(b);
  for (; *x != 0 && *y != 0; ++x, ++y) {
    if (fold(*x) != fold(*y)) return 0;
  }
  return *x == 0 && *y == 0 ? 1 : 0;
}

const char* str_iprefix(const char* s, const char* p) {
  if (s == nullptr || p == nullptr) return nullptr;
  // A shorter S meets its terminator against a nonzero byte of P and stops the walk.
  size_t i = 0;
  for (; p[i] != '\0'; ++i) {
    if (fold(static_cast<unsigned char>(s[i])) != fold(static_cast<unsigned char>(p[i]))) {
      return nullptr;
    }
  }
  return s + i;
}

char* x_strdup(const char* s) {
  if (s == nullptr) return nullptr;
  const size_t n = std::strlen(s) + 1;
  auto* copy = static_cast<char*>(std::malloc(n));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, s, n);
  return copy;
}

size_t str_utf8_whole_len(const char* s, size_t len) {
  // The last character begins at most three bytes before the end; continuation bytes are
  // 10xxxxxx, and a lead byte tells how many bytes its character takes.
  size_t lead = len;
  for (int back = 0; back < 4 && lead > 0; ++back) {
    const auto c = static_cast<unsigned char>(s[--lead]);
    if ((c & 0xC0) == 0x80) continue;
    const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return lead + need > len ? lead : len;
  }
  return len;
}
