// render_html.cpp: the HTML index page of one folder, built front to back from an entry list
// already in listing order. Names are HTML-escaped in text and percent-encoded in links; the
// page is pure text, sending or copying it is the caller's business.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "content/listing.h"
#include "util/date_cell.h"
#include "util/escape.h"
#include "util/sb.h"

namespace {

constexpr size_t SIZE_CELL_BYTES = 32;  // 19 digits, 6 commas, a sign and the terminator

constexpr const char* PAGE_HEAD = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n  <title>Index of ";
constexpr const char* PAGE_STYLE =
    "</title>\n  <style>\n"
    "    body { font-family: \"Segoe UI\", sans-serif; font-size: 14px; }\n"
    "    #index { border-collapse: collapse; }\n"
    "    #index th, #index td { padding: 3px 10px; text-align: left; }\n"
    "    #index td.length, #index td.modified { text-align: right; }\n"
    "    a { color: #1ba1e2; text-decoration: none; }\n"
    "  </style>\n</head>\n<body>\n  <section id=\"main\">\n    <header><h1>Index of ";
constexpr const char* TABLE_HEAD =
    "</h1></header>\n    <table id=\"index\">\n    <thead>\n"
    "      <tr><th abbr=\"Name\">Name</th><th abbr=\"Size\">Size</th>"
    "<th abbr=\"Modified\">Last Modified</th></tr>\n"
    "    </thead>\n    <tbody>\n";
constexpr const char* TABLE_END = "    </tbody>\n    </table>\n";
constexpr const char* TRUNCATED_NOTE = "    <!-- listing truncated -->\n";
constexpr const char* PAGE_END = "  </section>\n</body>\n</html>\n";

// SIZE in decimal with "," between groups of three digits counted from the right. Digits are
// written by hand: snprintf was a fifth of a large page's rendering time.
void size_cell(int64_t size, char out[SIZE_CELL_BYTES]) {
  char digits[SIZE_CELL_BYTES];
  char rev[SIZE_CELL_BYTES];
  int r = 0;
  uint64_t u = size < 0 ? 0 - static_cast<uint64_t>(size) : static_cast<uint64_t>(size);
  do {
    rev[r++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  int n = 0;
  if (size < 0) digits[n++] = '-';
  while (r > 0) digits[n++] = rev[--r];
  int o = 0;
  int i = 0;
  if (digits[0] == '-') out[o++] = digits[i++];
  for (; i < n; ++i) {
    out[o++] = digits[i];
    const int still_to_come = n - 1 - i;
    if (still_to_come > 0 && still_to_come % 3 == 0) out[o++] = ',';
  }
  out[o] = '\0';
}

// The date cell of the previous row is kept: entries of one folder often share their time to
// the second, and breaking a time down is the dearest part of a row.
const char* date_of(html_page* p, int64_t t) {
  if (!p->date_valid || t != p->date_mtime) {
    date_cell(t, p->date_text);
    p->date_mtime = t;
    p->date_valid = true;
  }
  return p->date_text;
}

void append_row(string_builder* sb, const dent& e, html_page* p) {
  sb_puts(sb, "      <tr class=\"");
  sb_puts(sb, e.is_dir ? "directory" : "file");
  sb_puts(sb, "\">\n        <td class=\"name\"><a href=\"./");
  sb_url_encode(sb, e.name);
  if (e.is_dir) sb_putc(sb, '/');
  sb_puts(sb, "\">");
  sb_html(sb, e.name);
  if (e.is_dir) sb_putc(sb, '/');
  sb_puts(sb, "</a></td>\n");
  if (e.is_dir) {
    sb_puts(sb, "        <td class=\"length\"></td>\n");
  } else {
    char size_text[SIZE_CELL_BYTES];
    size_cell(e.size, size_text);
    sb_puts(sb, "        <td class=\"length\">");
    sb_puts(sb, size_text);
    sb_puts(sb, "</td>\n");
  }
  sb_puts(sb, "        <td class=\"modified\">");
  sb_puts(sb, date_of(p, e.mtime));
  sb_puts(sb, "</td>\n      </tr>\n");
}

}  // namespace

void html_page_begin(html_page* page, const char* root_name, const char* rel, const dent* entries,
                     int count, int truncated) {
  *page = html_page{};
  page->root_name = root_name != nullptr ? root_name : "";
  page->rel = rel != nullptr ? rel : "";
  page->entries = entries;
  page->count = count;
  page->truncated = truncated;
}

bool html_page_next(html_page* page, string_builder* sb, uint64_t piece_bytes) {
  if (page->done) return false;
  if (page->next < 0) {
    // "/ROOT/REL" as long as it is: a folder the JSON listing can show has an HTML page too.
    sb_owner title;
    sb_putc(title.get(), '/');
    sb_puts(title.get(), page->root_name);
    if (page->rel[0] != '\0') {
      sb_putc(title.get(), '/');
      sb_puts(title.get(), page->rel);
    }
    sb_puts(sb, PAGE_HEAD);
    sb_html(sb, title.str());
    sb_puts(sb, PAGE_STYLE);
    sb_html(sb, title.str());
    sb_puts(sb, TABLE_HEAD);
    page->next = 0;
  }
  while (page->next < page->count) {
    append_row(sb, page->entries[page->next++], page);
    if (piece_bytes > 0 && sb->len >= piece_bytes) return true;
  }
  sb_puts(sb, TABLE_END);
  if (page->truncated) sb_puts(sb, TRUNCATED_NOTE);
  sb_puts(sb, PAGE_END);
  page->done = true;
  return true;
}

int render_html_pieces(string_builder* sb, const char* root_name, const char* rel,
                       const dent* entries, int count, int truncated, uint64_t piece_bytes,
                       html_piece_fn emit, void* ctx) {
  html_page page;
  html_page_begin(&page, root_name, rel, entries, count, truncated);
  while (html_page_next(&page, sb, emit != nullptr ? piece_bytes : 0)) {
    if (emit == nullptr) continue;
    const int rc = emit(ctx, sb_str(sb), sb->len);
    sb_reset(sb);
    if (rc != 0) return -2;
  }
  return 0;
}

int render_html(string_builder* sb, const char* root_name, const char* rel, const dent* entries,
                int count, int truncated) {
  return render_html_pieces(sb, root_name, rel, entries, count, truncated, 0, nullptr, nullptr);
}
