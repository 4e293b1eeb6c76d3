// render_json.cpp: one page of the JSON folder listing, a window of an entry list already in
// listing order. The offset is the whole cursor: "next" hands the following index back.
#include <cinttypes>

#include "content/json_text.h"
#include "content/listing.h"
#include "util/escape.h"
#include "util/sb.h"

namespace {

constexpr int PAGE_MAX_ITEMS = 500;  // bounds one answer; larger or missing limits mean this

void append_item(string_builder* sb, const dent& e) {
  sb_puts(sb, "{\"name\":\"");
  sb_json_text(sb, e.name);
  sb_printf(sb, "\",\"kind\":\"%s\"", e.is_dir ? "dir" : "file");
  if (!e.is_dir) sb_printf(sb, ",\"size\":%" PRId64, e.size);
  sb_printf(sb, ",\"mtime_unix\":%" PRId64, e.mtime);
  // Relative to the listed folder's own URL; the encoding leaves nothing JSON must escape.
  sb_puts(sb, ",\"href\":\"");
  sb_url_encode(sb, e.name);
  sb_puts(sb, e.is_dir ? "/\"}" : "\"}");
}

}  // namespace

void json_window(int offset, int limit, int* first, int* n) {
  *n = (limit >= 1 && limit <= PAGE_MAX_ITEMS) ? limit : PAGE_MAX_ITEMS;
  *first = offset < 0 ? 0 : offset;
}

int render_json(string_builder* sb, const dent* entries, int count, int offset, int limit) {
  int page = 0;
  int start = 0;
  json_window(offset, limit, &start, &page);
  if (start >= count) {
    sb_puts(sb, "{\"items\":[],\"next\":null}");
    return 0;
  }
  // count - start > 0 here, so the subtraction cannot overflow where start + page could.
  const int end = count - start > page ? start + page : count;
  sb_puts(sb, "{\"items\":[");
  for (int i = start; i < end; ++i) {
    if (i > start) sb_putc(sb, ',');
    append_item(sb, entries[i]);
  }
  sb_puts(sb, "],\"next\":");
  if (end < count) {
    sb_printf(sb, "\"%d\"", end);
  } else {
    sb_puts(sb, "null");
  }
  sb_putc(sb, '}');
  return 0;
}
