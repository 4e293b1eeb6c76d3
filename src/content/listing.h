// listing.h: reads one folder into its visible entries in listing order (folders first, then
// names in byte order), and renders entry lists as the HTML index page or a JSON page.
#pragma once

#include <cstdint>

#include "util/date_cell.h"

struct string_builder;

inline constexpr int LIST_MAX_ENTRIES = 100000;
inline constexpr int LIST_MAX_NAME_BYTES = 1024;

// 32 bytes, with the two narrow fields side by side: a folder of 100,000 entries holds as many.
struct dent {
  char* name = nullptr;  // owned, no path
  int64_t size = 0;      // bytes; -1 for a folder
  int64_t mtime = 0;     // Unix seconds
  int32_t mtime_ns = 0;  // below the second, nanoseconds (what the platform records)
  int is_dir = 0;        // 1 folder, 0 anything else
};

struct plat_dir;
struct plat_stat_rec;

// How a listing treats the links of its folder: SERVED(CTX, NAME, OUT) says whether a request
// for the link NAME would be served (0, with OUT describing what it leads to) or not (-1).
// A link is listed exactly when it would be served.
struct entry_links {
  int (*served)(void* ctx, const char* name, plat_stat_rec* out);
  void* ctx;
  // Asked between entries when given: true ends the reading early (a server that stops does not
  // wait for a folder of 100,000 entries to be read).
  bool (*stop)() = nullptr;
};

// Lists the open folder DIR, read from where it stands to its end. 0 with *OUT_ENTRIES (caller
// frees with free_dents), *OUT_COUNT and *OUT_TRUNCATED (an entry was left out for a limit);
// -5 "out of memory" when not even the list could be made.
// Hidden names, names the platform reserves and links that would not be served are left out.
int list_opened(plat_dir* dir, const entry_links& links, dent** out_entries, int* out_count,
                int* out_truncated);
// list_opened a part at a time, for a reader that lets others go between the parts: list_begin
// (null when not even the list could be made), list_more for up to N more entries of the folder
// while it returns true, then list_end, which hands over the entries as list_opened does, or
// list_drop; either frees JOB. DIR and LINKS' context must outlive the job.
struct list_job;
list_job* list_begin(plat_dir* dir, const entry_links& links);
bool list_more(list_job* job, int n);
int list_end(list_job* job, dent** out_entries, int* out_count, int* out_truncated);
void list_drop(list_job* job);
// list_opened for a caller that shows only the entries FIRST (negative: 0) to FIRST + N - 1 of
// the ordered list: the same entries in the same order, but only those in the window carry
// their size and time (the others hold size 0, or -1 for a folder, and time 0). Entries are
// ordered by the kind the folder itself records, so a page of a large folder costs one read
// of the folder and N lookups instead of one lookup per entry.
int list_opened_window(plat_dir* dir, const entry_links& links, int first, int n,
                       dent** out_entries, int* out_count, int* out_truncated);
// Lists the folder at FOLDER_PATH (a path the caller trusts, such as a root's own), its links
// listed when they stay beneath it; -4 "cannot open %s" when it cannot be opened.
int list_dir(const char* folder_path, dent** out_entries, int* out_count, int* out_truncated);
void free_dents(dent* entries, int count);   // null does nothing
int dent_cmp(const void* a, const void* b);  // qsort comparator: the listing order

// Appends the whole HTML index page for ROOT_NAME/REL to SB. Always 0.
int render_html(string_builder* sb, const char* root_name, const char* rel, const dent* entries,
                int count, int truncated);
// Receives one piece of a page: 0 to go on, nonzero to stop the rendering.
using html_piece_fn = int (*)(void* ctx, const char* bytes, uint64_t n);
// The page of render_html, handed to EMIT in pieces of about PIECE_BYTES (the last one
// shorter), SB serving as the piece buffer (left empty at the end). The pieces joined are
// render_html's page byte for byte, so a large folder is never held as one text. With EMIT
// null it is render_html. 0, or -2 when EMIT stopped it.
int render_html_pieces(string_builder* sb, const char* root_name, const char* rel,
                       const dent* entries, int count, int truncated, uint64_t piece_bytes,
                       html_piece_fn emit, void* ctx);
// One page of render_html, rendered piece by piece as its reader asks: a sender can stop
// between pieces and carry on in a later turn, holding one piece at a time. The pieces are those
// render_html_pieces hands on for the same PIECE_BYTES, so two renderings of one page give the
// same pieces. The texts and entries given to html_page_begin must outlive it.
struct html_page {
  const char* root_name = "";
  const char* rel = "";
  const dent* entries = nullptr;
  int count = 0;
  int truncated = 0;
  int next = -1;  // the next row; -1 before the page's head
  bool done = false;
  int64_t date_mtime = 0;  // the date cell of the previous row, often shared by the next
  bool date_valid = false;
  char date_text[DATE_CELL_BYTES] = {};
};
void html_page_begin(html_page* page, const char* root_name, const char* rel, const dent* entries,
                     int count, int truncated);
// Appends the next piece, about PIECE_BYTES long (0: the rest of the page at once), to SB:
// true, or false when the page is complete and nothing was appended.
bool html_page_next(html_page* page, string_builder* sb, uint64_t piece_bytes);
// Appends one JSON listing page: entries from OFFSET (negative: 0), LIMIT of them (outside
// 1..500: 500), and "next". Always 0.
int render_json(string_builder* sb, const dent* entries, int count, int offset, int limit);
// The entries render_json shows for OFFSET and LIMIT: from *FIRST, at most *N of them.
void json_window(int offset, int limit, int* first, int* n);
