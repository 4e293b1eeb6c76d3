// listing.h: reads one folder into its visible entries in listing order (folders first, then
// names in byte order), and renders entry lists as the HTML index page or a JSON page.
#pragma once

#include <cstdint>

struct string_builder;

inline constexpr int LIST_MAX_ENTRIES = 100000;
inline constexpr int LIST_MAX_NAME_BYTES = 1024;

struct dent {
  char* name;     // owned, no path
  int is_dir;     // 1 folder, 0 anything else
  int64_t size;   // bytes; -1 for a folder
  int64_t mtime;  // Unix seconds
};

// Lists FOLDER_PATH. 0 with *OUT_ENTRIES (caller frees with free_dents), *OUT_COUNT and
// *OUT_TRUNCATED (an entry was left out for a limit); -4 "cannot open %s" when it cannot be
// opened. Hidden names and links leading outside the folder are left out.
int list_dir(const char* folder_path, dent** out_entries, int* out_count, int* out_truncated);
void free_dents(dent* entries, int count);  // null does nothing
int dent_cmp(const void* a, const void* b);  // qsort comparator: the listing order

// Appends the whole HTML index page for ROOT_NAME/REL to SB: 0, or -1 (nothing appended) when
// the title path needs more than 1,199 bytes.
int render_html(string_builder* sb, const char* root_name, const char* rel, const dent* entries,
                int count, int truncated);
// Appends one JSON listing page: entries from OFFSET (negative: 0), LIMIT of them (outside
// 1..500: 500), and "next". Always 0.
int render_json(string_builder* sb, const dent* entries, int count, int offset, int limit);
