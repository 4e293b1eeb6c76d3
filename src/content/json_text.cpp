// json_text.cpp: the JSON string escaping shared by the roots list and the folder listing. Only
// the bytes JSON forbids raw are escaped; UTF-8 and 0x7F pass through untouched, and a byte that
// begins no well-formed UTF-8 sequence becomes U+FFFD, so one odd name cannot make the whole
// text invalid JSON.
#include "content/json_text.h"

#include <cstdio>
#include <string_view>

#include "util/escape.h"
#include "util/sb.h"

namespace {

// The escape for one byte, or an empty view when the byte goes out as it is.
std::string_view short_escape(unsigned char c) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default:
      return {};
  }
}

}  // namespace

void sb_json_text(string_builder* sb, const char* s) {
  if (s == nullptr) return;
  // Plain runs are copied in one append; only escaped bytes break them.
  const char* run = s;
  for (const char* p = s; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c >= 0x80) {
      const int n = utf8_sequence_length(reinterpret_cast<const unsigned char*>(p));
      if (n > 0) {
        p += n - 1;
        continue;
      }
      sb_putn(sb, run, static_cast<uint64_t>(p - run));
      sb_puts(sb, UTF8_REPLACEMENT);
      run = p + 1;
      continue;
    }
    const std::string_view esc = short_escape(c);
    if (esc.empty() && c >= 0x20) continue;
    sb_putn(sb, run, static_cast<uint64_t>(p - run));
    if (!esc.empty()) {
      sb_putn(sb, esc.data(), esc.size());
    } else {
      sb_printf(sb, "\\u%04x", static_cast<unsigned>(c));
    }
    run = p + 1;
  }
  std::string_view rest(run);
  sb_putn(sb, rest.data(), rest.size());
}
