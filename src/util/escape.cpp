// escape.cpp: HTML text escaping, percent-encoding of one path segment and percent-decoding.
// All three work on bytes; UTF-8 validity is not their business.
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

// Bytes HTML text shows as they are.
bool is_plain_html(unsigned char c) {
  return c >= 0x20 && c != '"' && c != '&' && c != '\'' && c != '<' && c != '>';
}

}  // namespace

void sb_html(string_builder* sb, const char* s) {
  if (s == nullptr) return;
  for (const auto* p = reinterpret_cast<const unsigned char*>(s); *p != 0; ++p) {
    // Runs of plain bytes go in with one append: names are mostly plain.
    const auto* run = p;
    while (*p != 0 && is_plain_html(*p)) ++p;
    if (p != run) sb_putn(sb, run, static_cast<uint64_t>(p - run));
    if (*p == 0) break;
    const unsigned char c = *p;
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
