// listing.cpp: reads one already resolved folder into its visible entries, in listing order.
// Hidden names, names too long to list, unreadable entries and links that lead out of the folder
// are left out; rendering the list is render_html.cpp's and render_json.cpp's business.
#include "content/listing.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "plat/plat.h"
#include "util/last_error.h"
#include "util/path_safe.h"
#include "util/str.h"

namespace {

// A listing's storage comes straight from the system: the records in one reservation big enough
// for the most entries a listing holds (untouched pages cost nothing, and nothing is copied while
// the list grows), the names packed into blocks chained behind a header in front of the records.
// Freeing the list hands every page back at once; through the allocator a 100,000-entry folder
// left each worker's pool holding several times its size.
struct name_block {
  name_block* next;
  size_t used;  // bytes of the block, this header included
};
constexpr size_t NAME_BLOCK_BYTES = 64 * 1024;  // holds at least 60 names of the longest kind
static_assert(NAME_BLOCK_BYTES >= sizeof(name_block) + LIST_MAX_NAME_BYTES + 1);

struct list_header {
  name_block* names;
};
constexpr size_t HEADER_BYTES = 64;  // keeps the records after it aligned
static_assert(sizeof(list_header) <= HEADER_BYTES && HEADER_BYTES % alignof(dent) == 0);
constexpr uint64_t LIST_BYTES =
    HEADER_BYTES + sizeof(dent) * static_cast<uint64_t>(LIST_MAX_ENTRIES);

list_header* header_of(dent* entries) {
  return reinterpret_cast<list_header*>(reinterpret_cast<char*>(entries) - HEADER_BYTES);
}

void sort_dents(dent* items, int count);

// No room even for an empty list: a failure, not an empty folder (a watcher would report a
// change that did not happen, a page would show nothing).
int out_of_memory() {
  set_error(-5, "out of memory");
  return -5;
}

// What the reading loop does with one entry.
enum class step { take, skip, stop };

// Entries gathered so far; owns the storage until handed to the caller. Both ways of reading a
// folder share its rules: which names are listed, the entry limit, and running out of memory,
// which ends the reading early while what was gathered is still listed.
struct gather {
  dent* items = nullptr;
  int count = 0;
  int truncated = 0;  // an eligible entry was left out for a limit

  gather() {
    void* pages = plat_pages_alloc(LIST_BYTES);
    if (pages != nullptr) items = reinterpret_cast<dent*>(static_cast<char*>(pages) + HEADER_BYTES);
  }
  ~gather() { free_dents(items, count); }

  step check_name(const char* name) {
    // Hidden names, and names the platform will not open, are never listed: a request could
    // not follow their links.
    if (name[0] == '.' || plat_name_reserved(name)) return step::skip;
    // A name a request path refuses (a backslash, a control byte) is listed only if its link
    // could be followed: it is left out, as what is listed is what is served.
    if (path_is_safe(name) != 0) return step::skip;
    if (std::strlen(name) > static_cast<size_t>(LIST_MAX_NAME_BYTES)) {
      truncated = 1;
      return step::skip;
    }
    return step::take;
  }

  // Appends a copy of NAME; false when the reading must stop (limit reached or no memory).
  bool add(const char* name, int is_dir, int64_t size, int64_t mtime, int32_t mtime_ns) {
    if (items == nullptr) return false;
    if (count >= LIST_MAX_ENTRIES) {
      truncated = 1;
      return false;
    }
    char* name_copy = keep_name(name);
    if (name_copy == nullptr) return false;
    items[count++] = dent{
        .name = name_copy, .size = size, .mtime = mtime, .mtime_ns = mtime_ns, .is_dir = is_dir};
    return true;
  }

  // Sorts the entries and gives them, and the ownership, to the caller.
  int hand_over(dent** out_entries, int* out_count, int* out_truncated) {
    if (count == 0) {  // an empty list holds no storage
      free_dents(items, 0);
      items = nullptr;
    }
    sort_dents(items, count);
    *out_entries = items;
    *out_count = count;
    *out_truncated = truncated;
    items = nullptr;
    count = 0;
    return 0;
  }

  // A copy of NAME in the current name block, or in a new one when it does not fit.
  char* keep_name(const char* name) {
    const size_t n = std::strlen(name) + 1;
    list_header* h = header_of(items);
    if (h->names == nullptr || h->names->used + n > NAME_BLOCK_BYTES) {
      auto* b = static_cast<name_block*>(plat_pages_alloc(NAME_BLOCK_BYTES));
      if (b == nullptr) return nullptr;
      *b = name_block{h->names, sizeof(name_block)};
      h->names = b;
    }
    char* at = reinterpret_cast<char*>(h->names) + h->names->used;
    std::memcpy(at, name, n);
    h->names->used += n;
    return at;
  }
};

// What a link shows, when it is listed at all: the rule is the one requests follow.
step check_link(const entry_links& links, const char* name, plat_stat_rec* st) {
  if (links.served == nullptr) return step::skip;
  return links.served(links.ctx, name, st) == 0 ? step::take : step::skip;
}

// The same order as dent_cmp, with the comparison inlined into the sort: 100,000 names take
// about 1.7 million comparisons, and an indirect call each doubled the sort's time.
void sort_dents(dent* items, int count) {
  if (count < 2) return;
  std::sort(items, items + count, [](const dent& x, const dent& y) {
    if (x.is_dir != y.is_dir) return x.is_dir > y.is_dir;
    return std::strcmp(x.name, y.name) < 0;
  });
}

}  // namespace

int dent_cmp(const void* a, const void* b) {
  const auto* x = static_cast<const dent*>(a);
  const auto* y = static_cast<const dent*>(b);
  if (x->is_dir != y->is_dir) return x->is_dir ? -1 : 1;
  return std::strcmp(x->name, y->name);  // compares bytes as unsigned: no folding, no digits
}

void free_dents(dent* entries, int) {
  if (entries == nullptr) return;
  list_header* h = header_of(entries);
  for (name_block* b = h->names; b != nullptr;) {
    name_block* next = b->next;
    plat_pages_free(b, NAME_BLOCK_BYTES);
    b = next;
  }
  plat_pages_free(h, LIST_BYTES);
}

int list_opened_window(plat_dir* dir, const entry_links& links, int first, int n,
                       dent** out_entries, int* out_count, int* out_truncated) {
  *out_entries = nullptr;
  *out_count = 0;
  *out_truncated = 0;
  gather got;
  if (got.items == nullptr) return out_of_memory();
  int kind = PLAT_KIND_UNKNOWN;
  plat_stat_rec st{};
  while (const char* name = plat_readdir_kind(dir, &kind)) {
    if (links.stop != nullptr && links.stop()) break;
    if (kind == PLAT_KIND_SPECIAL || got.check_name(name) == step::skip) continue;
    // The folder's record gives the kind, which is all the order needs; entries it says
    // nothing about, and links (which may lead out), are examined now, as the whole listing
    // would.
    int is_dir = kind == PLAT_KIND_DIR ? 1 : 0;
    if (kind == PLAT_KIND_UNKNOWN || kind == PLAT_KIND_LINK) {
      if (plat_stat_at(dir, name, &st) != 0 || (!st.is_dir && !st.is_file)) continue;
      if (st.is_link && check_link(links, name, &st) != step::take) continue;
      is_dir = st.is_dir ? 1 : 0;
    }
    if (!got.add(name, is_dir, is_dir ? -1 : 0, 0, 0)) break;
  }
  sort_dents(got.items, got.count);
  // Only the window's entries are examined. One that vanished or changed its kind since the
  // folder was read would shift the window: then the folder is listed the thorough way.
  const int start = first < 0 ? 0 : first;
  for (int i = start; i < got.count && i - start < n; ++i) {
    dent& e = got.items[i];
    if (plat_stat_at(dir, e.name, &st) != 0 || (!st.is_dir && !st.is_file) ||
        (st.is_link && check_link(links, e.name, &st) != step::take) ||
        (st.is_dir ? 1 : 0) != e.is_dir) {
      plat_rewinddir(dir);
      return list_opened(dir, links, out_entries, out_count, out_truncated);
    }
    e.size = st.is_dir ? -1 : st.size;
    e.mtime = st.mtime;
    e.mtime_ns = st.mtime_ns;
  }
  return got.hand_over(out_entries, out_count, out_truncated);
}

struct list_job {
  list_job(plat_dir* d, const entry_links& l) : dir(d), links(l) {}
  plat_dir* dir;
  entry_links links;
  gather got;
  bool ended = false;
};

list_job* list_begin(plat_dir* dir, const entry_links& links) {
  auto* job = new (std::nothrow) list_job(dir, links);
  if (job != nullptr && job->got.items == nullptr) {
    delete job;
    return nullptr;
  }
  return job;
}

bool list_more(list_job* job, int n) {
  // Each entry is examined relative to the open folder.
  plat_stat_rec st{};
  for (int i = 0; i < n && !job->ended; ++i) {
    const char* name = plat_readdir_stat(job->dir, &st);
    if (name == nullptr || (job->links.stop != nullptr && job->links.stop())) {
      job->ended = true;
      break;
    }
    if (job->got.check_name(name) == step::skip) continue;
    if (!st.is_dir && !st.is_file) continue;
    if (st.is_link && check_link(job->links, name, &st) != step::take) continue;
    if (!job->got.add(name, st.is_dir ? 1 : 0, st.is_dir ? -1 : st.size, st.mtime, st.mtime_ns)) {
      job->ended = true;
    }
  }
  return !job->ended;
}

int list_end(list_job* job, dent** out_entries, int* out_count, int* out_truncated) {
  const int rc = job->got.hand_over(out_entries, out_count, out_truncated);
  delete job;
  return rc;
}

void list_drop(list_job* job) {
  delete job;
}

int list_opened(plat_dir* dir, const entry_links& links, dent** out_entries, int* out_count,
                int* out_truncated) {
  *out_entries = nullptr;
  *out_count = 0;
  *out_truncated = 0;
  list_job* job = list_begin(dir, links);
  if (job == nullptr) return out_of_memory();
  while (list_more(job, LIST_MAX_ENTRIES)) {
  }
  return list_end(job, out_entries, out_count, out_truncated);
}

namespace {

// A link of a folder listed by its path is listed when it stays beneath that folder.
struct folder_links {
  plat_root* root;
};

int served_beneath_folder(void* ctx, const char* name, plat_stat_rec* out) {
  plat_opened entry{};
  if (plat_open_beneath(static_cast<folder_links*>(ctx)->root, name, &entry) != 0) return -1;
  *out = entry.st;
  plat_opened_close(&entry);
  return 0;
}

}  // namespace

int list_dir(const char* folder_path, dent** out_entries, int* out_count, int* out_truncated) {
  *out_entries = nullptr;
  *out_count = 0;
  *out_truncated = 0;
  std::unique_ptr<plat_root, void (*)(plat_root*)> root(plat_root_open(folder_path),
                                                        plat_root_close);
  plat_opened folder{};
  if (!root || plat_open_beneath(root.get(), "", &folder) != 0 || folder.dir == nullptr) {
    plat_opened_close(&folder);
    set_error(-4, "cannot open %s", folder_path);
    return -4;
  }
  folder_links ctx{root.get()};
  const int rc = list_opened(folder.dir, entry_links{served_beneath_folder, &ctx}, out_entries,
                             out_count, out_truncated);
  plat_opened_close(&folder);
  return rc;
}
