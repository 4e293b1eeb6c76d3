// roots.cpp: the process-wide root registry R: adding, removing, clearing and listing roots, and
// the key a file root answers to. Resolution and the change watcher read R under its lock; the
// disk is touched only before the lock is taken.
#include "content/roots.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "content/json_text.h"
#include "util/last_error.h"
#include "util/sb.h"
#include "util/str.h"

namespace {

root_registry R;  // static storage: zero roots, count 0; the lock is made by roots_get

// Room kept free before a record may start: the roots list of kobas_roots_json starts a record
// only while at most 393,119 of its 393,216 bytes are used.
constexpr size_t ROOTS_JSON_START_RESERVE_BYTES = 97;

bool is_name_byte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

// Root names appear unescaped in URLs and in the /api/folders object, hence the narrow set.
bool is_valid_root_name(const char* name) {
  if (name == nullptr) return false;
  const std::string_view n(name);
  if (n.empty() || n.size() > static_cast<size_t>(ROOT_NAME_MAX_BYTES)) return false;
  if (n.front() == '-' || n.front() == '.') return false;
  for (char c : n) {
    if (!is_name_byte(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool is_sep(char c) {
  return c == '/' || c == '\\';
}

// Index of NAME in R, or -1. Caller holds the lock.
int find_root(const root_registry* r, const char* name) {
  for (int i = 0; i < r->count; ++i) {
    if (std::strcmp(r->roots[i].name, name) == 0) return i;
  }
  return -1;
}

void release_record(root_rec* rec) {
  std::free(rec->name);
  std::free(rec->path);
  root_dir_release(rec->dir);
  *rec = root_rec{};
}

void append_record(string_builder* sb, const root_rec& rec, bool first) {
  sb_puts(sb, first ? "{\"name\":\"" : ",{\"name\":\"");
  sb_json_text(sb, rec.name);
  sb_puts(sb, "\",\"path\":\"");
  sb_json_text(sb, rec.path);
  sb_puts(sb, rec.is_file ? "\",\"kind\":\"file\"}" : "\",\"kind\":\"folder\"}");
}

std::atomic<void (*)()> g_on_removal{nullptr};

void removal_hook() {
  if (auto fn = g_on_removal.load(std::memory_order_acquire)) fn();
}

}  // namespace

root_dir* root_dir_open(const char* path) {
  plat_root* h = plat_root_open(path);
  if (h == nullptr) return nullptr;
  auto* d = new (std::nothrow) root_dir{h, {1}, plat_now_ms()};
  if (d == nullptr) plat_root_close(h);
  return d;
}

void root_dir_release(root_dir* d) {
  if (d == nullptr || d->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  plat_root_close(d->handle);
  delete d;
}

root_registry* roots_get() {
  // A function-local static is initialised exactly once, even with concurrent first callers.
  static const bool lock_ready = [] {
    plat_mutex_init(&R.lock);
    return true;
  }();
  (void)lock_ready;
  return &R;
}

int roots_add(root_registry* r, const char* name, const char* path, uint64_t* id) {
  if (path == nullptr || path[0] == '\0') {
    set_error(-1, "path required");
    return -1;
  }
  if (std::strlen(path) > static_cast<size_t>(ROOT_PATH_MAX_BYTES)) {
    set_error(-1, "path too long");
    return -1;
  }
  if (!is_valid_root_name(name)) {
    set_error(-1, "root name must be 1..128 URL-safe chars");
    return -1;
  }
  if (str_ieq(name, "api")) {
    set_error(-1, "root name api is taken by the server's /api/ endpoints");
    return -1;
  }
  heap_text resolved(plat_realpath(path));
  if (!resolved) {
    set_error(-4, "cannot resolve %s", path);
    return -4;
  }
  // What the root is, learnt from a handle that opens nothing for reading first: a FIFO, a
  // socket or a device is never a root, and examining one must not act on it.
  plat_opened kind{};
  if (plat_open_path(resolved.get(), &kind) != 0) {
    set_error(-4, "%s is not a file or folder", path);
    return -4;
  }
  const bool is_dir = kind.dir != nullptr;
  plat_opened_close(&kind);
  root_dir* dir = nullptr;
  if (is_dir) {
    dir = root_dir_open(resolved.get());
    if (dir == nullptr) {
      set_error(-4, "cannot open %s", path);
      return -4;
    }
  }
  // Dropped on every refusal below; handed to the record on success.
  std::unique_ptr<root_dir, void (*)(root_dir*)> dir_ref(dir, root_dir_release);

  plat_lock_guard hold(&r->lock);
  if (find_root(r, name) >= 0) {
    set_error(-1, "root name already used: %s", name);
    return -1;
  }
  if (r->count >= ROOTS_MAX) {
    set_error(-6, "too many roots");
    return -6;
  }
  char* name_copy = x_strdup(name);
  if (name_copy == nullptr) {
    set_error(-5, "out of memory");
    return -5;
  }
  root_rec& rec = r->roots[r->count];
  rec.name = name_copy;
  rec.path = resolved.release();
  rec.is_file = is_dir ? 0 : 1;
  rec.dir = dir_ref.release();
  rec.id = ++r->last_id;
  rec.watch = root_watch{};
  ++r->count;
  r->generation.fetch_add(1, std::memory_order_release);
  if (id != nullptr) *id = rec.id;
  return 0;
}

int roots_remove(root_registry* r, const char* name) {
  if (name == nullptr) {
    set_error(-1, "name required");
    return -1;
  }
  {
    plat_lock_guard hold(&r->lock);
    const int i = find_root(r, name);
    if (i < 0) {
      set_error(-4, "no root named %s", name);
      return -4;
    }
    release_record(&r->roots[i]);
    // Later roots move down so that the table stays in registration order.
    std::memmove(&r->roots[i], &r->roots[i + 1],
                 sizeof(root_rec) * static_cast<size_t>(r->count - i - 1));
    --r->count;
    r->roots[r->count] = root_rec{};
    r->generation.fetch_add(1, std::memory_order_release);
  }
  removal_hook();
  return 0;
}

void roots_clear(root_registry* r) {
  {
    plat_lock_guard hold(&r->lock);
    for (int i = 0; i < r->count; ++i) release_record(&r->roots[i]);
    r->count = 0;
    r->generation.fetch_add(1, std::memory_order_release);
  }
  removal_hook();
}

void roots_on_removal(void (*fn)()) {
  g_on_removal.store(fn, std::memory_order_release);
}

void roots_json(root_registry* r, string_builder* sb, size_t max_bytes) {
  // The text and its terminator must fit in MAX_BYTES, "]" included; a record is built apart
  // first so that one that does not fit can be left out whole and the text stays valid JSON.
  if (max_bytes < 3) return;
  const uint64_t limit = max_bytes - 1;
  const uint64_t start_limit =
      max_bytes > ROOTS_JSON_START_RESERVE_BYTES ? max_bytes - ROOTS_JSON_START_RESERVE_BYTES : 0;
  if (sb->len + 2 > limit) return;
  sb_putc(sb, '[');
  sb_owner one;
  bool first = true;
  plat_lock_guard hold(&r->lock);
  for (int i = 0; i < r->count && sb->len <= start_limit; ++i) {
    sb_reset(one.get());
    append_record(one.get(), r->roots[i], first);
    if (sb->len + one.len() + 1 > limit) continue;
    if (sb_putn(sb, one.str(), one.len()) == 0) first = false;
  }
  sb_putc(sb, ']');
}

void root_key_of(const char* path, char* out, size_t size) {
  if (size == 0) return;
  std::string_view key = "root";
  if (path != nullptr && path[0] != '\0') {
    const std::string_view p(path);
    size_t end = p.size();
    while (end > 0 && is_sep(p[end - 1])) --end;  // passed over, not removed
    size_t begin = end;
    while (begin > 0 && !is_sep(p[begin - 1])) --begin;
    key = end == 0 ? p : p.substr(begin);
  }
  size_t n = key.size();
  if (n > size - 1) n = str_utf8_whole_len(key.data(), size - 1);  // keys are UTF-8 like paths
  std::memcpy(out, key.data(), n);
  out[n] = '\0';
}
