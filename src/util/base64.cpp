// base64.cpp: a table-free decoder. Every input byte is checked before it is used, and the output
// is bounded before anything is written, so hostile credentials cannot read or write past the
// buffers.
#include "util/base64.h"

namespace {

// The value of one alphabet character, or -1.
int sextet(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

int64_t base64_decode(std::string_view in, unsigned char* out, size_t out_size) {
  // Padding only ever completes the last group of four.
  if (in.size() % 4 == 0 && !in.empty() && in.back() == '=') {
    in.remove_suffix(1);
    if (in.back() == '=') in.remove_suffix(1);
  }
  const size_t tail = in.size() % 4;
  if (tail == 1) return -1;
  const size_t decoded = in.size() / 4 * 3 + (tail == 0 ? 0 : tail - 1);
  if (decoded > out_size) return -1;
  uint32_t bits = 0;
  int held = 0;  // bits in BITS not yet written
  size_t n = 0;
  for (const char ch : in) {
    const int v = sextet(static_cast<unsigned char>(ch));
    if (v < 0) return -1;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    held += 6;
    if (held >= 8) {
      held -= 8;
      out[n++] = static_cast<unsigned char>(bits >> held);
      bits &= (1U << held) - 1;
    }
  }
  // "YR==" would decode like "YQ==": only the canonical spelling is taken.
  if (bits != 0) return -1;
  return static_cast<int64_t>(n);
}
