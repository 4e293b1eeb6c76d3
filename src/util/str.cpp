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
