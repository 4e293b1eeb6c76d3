// escape.cpp: HTML text escaping, percent-encoding of one path segment and percent-decoding.
// A name is whatever bytes the file system holds; one that is not UTF-8 must not make a whole
// page invalid, so text shows such bytes as U+FFFD while links keep the bytes.
#include "util/escape.h"

#include <cstring>

#include "util/sb.h"

namespace {

constexpr char upper_hex[] = "0123456789ABCDEF";
constexpr char lower_hex[] = "0123456789abcdef";

void put_hex_byte(string_builder* sb, unsigned char c) {
  sb_putc(sb, upper_hex[c >> 4]);
  sb_putc(sb, upper_hex[c & 0x0F]);
}

// RFC 3986 section 2.3: the unreserved characters never need encoding.
bool is_unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// The value of one hexadecimal digit in either case, or -1.
int hex_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + ('a' - 'A'));
  const char* at = c != 0 ? std::strchr(lower_hex, c) : nullptr;
  return at != nullptr ? static_cast<int>(at - lower_hex) : -1;
}

// ASCII bytes HTML text shows as they are.
bool is_plain_html(unsigned char c) {
  return c >= 0x20 && c < 0x80 && c != '"' && c != '&' && c != '\'' && c != '<' && c != '>';
}

}  // namespace

int utf8_sequence_length(const unsigned char* p) {
  const unsigned char c = p[0];
  if (c < 0x80) return 1;
  auto cont = [&](int i) { return (p[i] & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    // E0 needs A0..BF (no overlong form), ED needs 80..9F (no surrogates).
    const unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;
    const unsigned char hi = c == 0xED ? 0x9F : 0xBF;
    return p[1] >= lo && p[1] <= hi && cont(2) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    // F0 needs 90..BF (no overlong form), F4 needs 80..8F (nothing past U+10FFFF).
    const unsigned char lo = c == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;
    return p[1] >= lo && p[1] <= hi && cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

void sb_html(string_builder* sb, const char* s) {
  if (s == nullptr) return;
  for (const auto* p = reinterpret_cast<const unsigned char*>(s); *p != 0; ++p) {
    // Runs of plain bytes go in with one append: names are mostly plain.
    const auto* run = p;
    while (*p != 0 && is_plain_html(*p)) ++p;
    if (p != run) sb_putn(sb, run, static_cast<uint64_t>(p - run));
    if (*p == 0) break;
    const unsigned char c = *p;
    if (c >= 0x80) {
      const int n = utf8_sequence_length(p);
      if (n == 0) {
        sb_puts(sb, UTF8_REPLACEMENT);
      } else {
        sb_putn(sb, p, static_cast<uint64_t>(n));
        p += n - 1;
      }
      continue;
    }
    if (c < 0x20) {
      // Control bytes cannot appear literally in HTML text; a numeric reference keeps them
      // visible instead of silently dropping them.
      sb_puts(sb, "&#x");
      put_hex_byte(sb, c);
      sb_putc(sb, ';');
      continue;
    }
    switch (c) {
      case '"':
        sb_puts(sb, "&quot;");
        break;
      case '&':
        sb_puts(sb, "&amp;");
        break;
      case '\'':
        sb_puts(sb, "&#x27;");
        break;
      case '<':
        sb_puts(sb, "&lt;");
        break;
      case '>':
        sb_puts(sb, "&gt;");
        break;
      default:
        sb_putc(sb, c);
        break;
    }
  }
}

int sb_url_encode(string_builder* sb, const char* s) {
  if (s == nullptr) return 0;
  for (const auto* p = reinterpret_cast<const unsigned char*>(s); *p != 0; ++p) {
    const auto* run = p;
    while (*p != 0 && is_unreserved(*p)) ++p;
    if (p != run) sb_putn(sb, run, static_cast<uint64_t>(p - run));
    if (*p == 0) break;
    if (is_unreserved(*p)) {
      sb_putc(sb, *p);
    } else {
      sb_putc(sb, '%');
      put_hex_byte(sb, *p);
    }
  }
  return 0;
}

int url_decode(const char* src, char* dst, uint64_t size, int plus_as_space, uint64_t* out_len) {
  if (src == nullptr || dst == nullptr) return -1;
  if (out_len != nullptr) *out_len = 0;
  const auto* in = reinterpret_cast<const unsigned char*>(src);
  const size_t n = std::strlen(src);
  uint64_t k = 0;
  size_t i = 0;
  while (i < n) {
    unsigned char out = in[i];
    size_t used = 1;
    if (in[i] == '%' && n - i > 2) {
      const int hi = hex_value(in[i + 1]);
      const int lo = hex_value(in[i + 2]);
      if (hi < 0 || lo < 0) return -1;
      out = static_cast<unsigned char>(hi * 16 + lo);
      used = 3;
    } else if (in[i] == '+' && plus_as_space != 0) {
      out = ' ';
    }
    // The produced byte and the terminator behind it must both fit.
    if (k + 1 >= size) return -1;
    dst[k++] = static_cast<char>(out);
    i += used;
  }
  dst[k] = '\0';
  if (out_len != nullptr) *out_len = k;
  return 0;
}
