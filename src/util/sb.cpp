// sb.cpp: the string builder. Owns growth and the zero terminator; callers own the record.
// Every failure path leaves data, len and cap exactly as they were.
#include "util/sb.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint64_t first_block_bytes = 256;  // most heads and small texts fit without a regrow

// The doubled capacity that holds at least NEED bytes, or 0 when doubling would overflow.
uint64_t grown_cap(uint64_t cap, uint64_t need) {
  uint64_t c = cap == 0 ? first_block_bytes : cap;
  while (c < need) {
    if (c > UINT64_MAX / 2) return 0;
    c *= 2;
  }
  return c;
}

// Resizes the block to NEW_CAP; on failure the record is untouched.
int resize_to(string_builder* sb, uint64_t new_cap) {
  if (new_cap == 0 || new_cap > SIZE_MAX) return -1;
  void* p = std::realloc(sb->data, static_cast<size_t>(new_cap));
  if (p == nullptr) return -1;
  sb->data = static_cast<char*>(p);
  sb->cap = new_cap;
  return 0;
}

// The +2 keeps one spare byte beyond text and terminator, so a builder that is exactly full
// after an append still takes a following single byte without growing.
bool need_bytes(uint64_t len, uint64_t n, uint64_t* need) {
  if (n > UINT64_MAX - 2 - len) return false;
  *need = len + n + 2;
  return true;
}

}  // namespace

void sb_init(string_builder* sb) {
  sb->data = nullptr;
  sb->len = 0;
  sb->cap = 0;
}

void sb_free(string_builder* sb) {
  std::free(sb->data);
  sb_init(sb);
}

void sb_reset(string_builder* sb) {
  sb->len = 0;
  if (sb->data != nullptr) sb->data[0] = '\0';
}

const char* sb_str(const string_builder* sb) {
  return sb->data != nullptr ? sb->data : "";
}

int sb_putn(string_builder* sb, const void* bytes, uint64_t n) {
  uint64_t need = 0;
  if (!need_bytes(sb->len, n, &need)) return -1;
  if (sb->cap < need - 1) {
    if (resize_to(sb, grown_cap(sb->cap, need)) != 0) return -1;
  }
  if (n > 0) std::memcpy(sb->data + sb->len, bytes, static_cast<size_t>(n));
  sb->len += n;
  sb->data[sb->len] = '\0';
  return 0;
}

int sb_putc(string_builder* sb, int byte) {
  const unsigned char b = static_cast<unsigned char>(byte);
  return sb_putn(sb, &b, 1);
}

int sb_puts(string_builder* sb, const char* s) {
  if (s == nullptr) return 0;
  return sb_putn(sb, s, std::strlen(s));
}

int sb_printf(string_builder* sb, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const int measured = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  if (measured < 0) return -1;
  const uint64_t n = static_cast<uint64_t>(measured);
  uint64_t need = 0;
  if (!need_bytes(sb->len, n, &need)) return -1;
  // Resized even when the capacity stays the same: the size only grows when the text needs it.
  if (resize_to(sb, grown_cap(sb->cap, need)) != 0) return -1;
  va_start(ap, fmt);
  const int written = std::vsnprintf(sb->data + sb->len, static_cast<size_t>(n + 1), fmt, ap);
  va_end(ap);
  if (written < 0) {
    sb->data[sb->len] = '\0';
    return -1;
  }
  sb->len += static_cast<uint64_t>(written);
  return 0;
}
