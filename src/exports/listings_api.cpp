// listings_api.cpp: the exported folder listings. Each resolves, enumerates, renders and copies
// the text into its own static buffer; the detailed reason of a refused resolution is replaced
// by its status, which is what a caller of these functions can act on.
#include <cstring>

#include "content/listing.h"
#include "content/resolve.h"
#include "kobas.h"
#include "util/last_error.h"
#include "util/sb.h"

namespace {

// A listing text handed out by the library, terminator excluded. Larger pages are refused.
constexpr uint64_t LISTING_MAX_BYTES = 16777216;

char s_html[LISTING_MAX_BYTES + 1];
char s_json[LISTING_MAX_BYTES + 1];

struct dent_list {
  dent* items = nullptr;
  int count = 0;
  int truncated = 0;
  dent_list() = default;
  dent_list(const dent_list&) = delete;
  dent_list& operator=(const dent_list&) = delete;
  ~dent_list() { free_dents(items, count); }
};

// Resolves ROOT_NAME/REL to a folder and lists it: 0, or a code with the last error set. REL
// is never null here: the exported functions take null for the root itself.
int list_target(const char* root_name, const char* rel, dent_list* out) {
  opened_target folder;
  const int s = resolve_open(root_name, rel, &folder);
  if (s != 0) {
    // Resolution refuses with 400 (a malformed path) or 404 (anything not found or not served).
    const int code = s == 400 ? -1 : -4;
    set_error(code, "resolve: %d", s);
    return code;
  }
  if (!folder.is_dir()) {
    set_error(-4, "not a folder (a file root has no listing)");
    return -4;
  }
  entry_rule rule{&folder, rel};
  return list_opened(folder.o.dir, entry_links{entry_served, &rule}, &out->items, &out->count,
                     &out->truncated);
}

// Copies the finished text into OUT (LISTING_MAX_BYTES + 1 bytes); null when it is too large.
const char* publish(const sb_owner& text, char* out) {
  if (text.len() > LISTING_MAX_BYTES) {
    set_error(-6, "page too large");
    return nullptr;
  }
  std::memcpy(out, text.str(), text.len() + 1);
  return out;
}

const char* listing_html(const char* root_name, const char* rel) {
  sb_owner page;
  {
    dent_list list;
    if (list_target(root_name, rel, &list) != 0) return "";
    render_html(page.get(), root_name, rel, list.items, list.count, list.truncated);
  }
  const char* done = publish(page, s_html);
  return done != nullptr ? done : "";
}

const char* listing_json(const char* root_name, const char* rel, int offset, int limit) {
  sb_owner page;
  {
    dent_list list;
    if (list_target(root_name, rel, &list) != 0) return "";
    render_json(page.get(), list.items, list.count, offset, limit);
  }
  const char* done = publish(page, s_json);
  return done != nullptr ? done : "";
}

}  // namespace

extern "C" KOBAS_API const char* kobas_listing_html(const char* root_name, const char* rel) {
  set_ok();
  try {
    return listing_html(root_name, rel != nullptr ? rel : "");
  } catch (...) {
    set_error(-5, "out of memory");
    return "";
  }
}

extern "C" KOBAS_API const char* kobas_listing_json(const char* root_name, const char* rel,
                                                    int offset, int limit) {
  set_ok();
  try {
    return listing_json(root_name, rel != nullptr ? rel : "", offset, limit);
  } catch (...) {
    set_error(-5, "out of memory");
    return "";
  }
}
