// primitives.cpp: the thin exported wrappers over the request primitives (media type, path
// safety), the link path of an entry, and the two readers of the last error. The texts they
// return live in one shared process-wide buffer, s_small.
#include <cstring>
#include <string_view>

#include "kobas.h"
#include "util/escape.h"
#include "util/last_error.h"
#include "util/mime.h"
#include "util/path_safe.h"
#include "util/sb.h"

namespace {

// Room for any media type and any link a client can use in a request target; longer links
// are refused rather than cut, since a cut link would name something else.
constexpr size_t small_bytes = 2048;
// No file system allows a longer name, so a longer segment names nothing; it is refused, never
// cut, since a cut segment would name another entry.
constexpr size_t max_segment_bytes = 1099;

char s_small[small_bytes];

const char* fail_out_of_memory_text() {
  set_error(-5, "out of memory");
  return "";
}

// Appends one segment of REL, percent-encoded; false, appending nothing, when it is too long.
bool put_segment(string_builder* sb, std::string_view seg) {
  if (seg.size() > max_segment_bytes) return false;
  char piece[max_segment_bytes + 1];
  std::memcpy(piece, seg.data(), seg.size());
  piece[seg.size()] = '\0';
  sb_url_encode(sb, piece);
  return true;
}

const char* build_href(const char* root_name, const char* rel, int is_dir) {
  sb_owner text;
  sb_putc(text.get(), '/');
  sb_url_encode(text.get(), root_name);
  if (rel != nullptr && rel[0] != '\0') {
    // Each segment is encoded on its own so the separators stay literal and a segment can
    // never produce a "/".
    std::string_view rest(rel);
    while (!rest.empty()) {
      const size_t slash = rest.find('/');
      sb_putc(text.get(), '/');
      if (slash == std::string_view::npos) {
        if (!put_segment(text.get(), rest)) return "";
        break;
      }
      if (!put_segment(text.get(), rest.substr(0, slash))) return "";
      rest.remove_prefix(slash + 1);
      if (rest.empty()) sb_putc(text.get(), '/');  // a trailing "/" is kept as it is
    }
  }
  if (is_dir != 0 && text.len() > 0 && text.str()[text.len() - 1] != '/') sb_putc(text.get(), '/');
  if (text.len() > small_bytes - 1) return "";
  std::memcpy(s_small, text.str(), text.len() + 1);
  return s_small;
}

}  // namespace

extern "C" KOBAS_API const char* kobas_mime_for(const char* name) {
  set_ok();
  try {
    mime_lookup(name, s_small, sizeof s_small);
    return s_small;
  } catch (...) {
    return fail_out_of_memory_text();
  }
}

extern "C" KOBAS_API int kobas_safe_rel(const char* rel) {
  set_ok();
  try {
    return path_is_safe(rel);
  } catch (...) {
    set_error(-5, "out of memory");
    return -5;
  }
}

extern "C" KOBAS_API const char* kobas_href_for(const char* root_name, const char* rel,
                                                int is_dir) {
  set_ok();
  try {
    return build_href(root_name, rel, is_dir);
  } catch (...) {
    return fail_out_of_memory_text();
  }
}

// The two readers leave the last error alone: they exist to report it.
extern "C" KOBAS_API int kobas_last_code(void) {
  return t_code_get();
}

extern "C" KOBAS_API const char* kobas_last_error(void) {
  return t_err_get();
}
