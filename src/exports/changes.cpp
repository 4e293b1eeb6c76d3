// changes.cpp: the change watcher CHG. A pass fingerprints the top level of every root (entry
// count and newest modification time) and reports the first root whose fingerprint moved to the
// one registered callback. Passes run on the caller's thread; there is no timer.
#include "exports/changes.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "content/roots.h"
#include "kobas.h"
#include "plat/plat.h"
#include "util/last_error.h"

namespace {

constexpr int FINGERPRINTS_MAX = 4096;     // one per root the registry can hold
constexpr size_t FP_NAME_BYTES = 160;      // 159 bytes of name and the terminator
constexpr size_t ENTRY_PATH_BYTES = 2200;  // a stored root path, "/" and one name

struct fingerprint {
  char name[FP_NAME_BYTES];
  int64_t count;
  int64_t newest;
};

// Fingerprints are keyed by root name and never removed: a root re-added under an old name is
// compared against what that name showed before.
struct change_table {
  plat_mutex lock;  // guards everything below; always taken after the registry lock
  kobas_change_cb cb;
  void* user;
  fingerprint prints[FINGERPRINTS_MAX];
  int count;
};

change_table CHG;

change_table* changes_get() {
  // A function-local static is initialised exactly once, even with concurrent first callers.
  static const bool lock_ready = [] {
    plat_mutex_init(&CHG.lock);
    return true;
  }();
  (void)lock_ready;
  return &CHG;
}

// NAME as stored in a fingerprint: its first 159 bytes.
std::string_view key_of(const char* name) {
  const std::string_view n(name);
  return n.substr(0, FP_NAME_BYTES - 1);
}

void copy_key(std::string_view key, char out[FP_NAME_BYTES]) {
  std::memcpy(out, key.data(), key.size());
  out[key.size()] = '\0';
}

// Caller holds the change lock. Null when the name has no fingerprint yet.
fingerprint* find_print(change_table* c, std::string_view key) {
  for (int i = 0; i < c->count; ++i) {
    if (key == c->prints[i].name) return &c->prints[i];
  }
  return nullptr;
}

// Compares and stores in one step, so changes seen while reporting is off are absorbed.
// Caller holds the change lock. True when a stored fingerprint moved.
bool record_print(change_table* c, std::string_view key, int64_t count, int64_t newest) {
  fingerprint* fp = find_print(c, key);
  if (fp == nullptr) {
    // A first sighting is no change; a full table leaves the root unwatched.
    if (c->count < FINGERPRINTS_MAX) {
      fingerprint& added = c->prints[c->count++];
      copy_key(key, added.name);
      added.count = count;
      added.newest = newest;
    }
    return false;
  }
  if (fp->count == count && fp->newest == newest) return false;
  fp->count = count;
  fp->newest = newest;
  return true;
}

}  // namespace

void snapshot_root(const char* path, int64_t* out_count, int64_t* out_newest) {
  int64_t count = 0;
  int64_t newest = 0;
  if (plat_dir* dir = plat_opendir(path)) {
    while (const char* name = plat_readdir(dir)) {
      if (name[0] == '.') continue;
      char entry[ENTRY_PATH_BYTES];
      const int n = std::snprintf(entry, sizeof entry, "%s/%s", path, name);
      if (n < 0 || static_cast<size_t>(n) >= sizeof entry) continue;  // a cut path names another
      plat_stat_rec st{};
      if (plat_stat(entry, &st, 1) != 0) continue;
      ++count;
      if (st.mtime > newest) newest = st.mtime;
    }
    plat_closedir(dir);
  }
  *out_count = count;
  *out_newest = newest;
}

void poll_changes_once() {
  root_registry* r = roots_get();
  change_table* c = changes_get();
  char reported[FP_NAME_BYTES];
  kobas_change_cb cb = nullptr;
  void* user = nullptr;
  {
    plat_lock_guard registry_hold(&r->lock);
    for (int i = 0; i < r->count; ++i) {
      int64_t count = 0;
      int64_t newest = 0;
      snapshot_root(r->roots[i].path, &count, &newest);
      plat_lock_guard change_hold(&c->lock);
      const std::string_view key = key_of(r->roots[i].name);
      if (record_print(c, key, count, newest) && c->cb != nullptr) {
        copy_key(key, reported);
        cb = c->cb;
        user = c->user;
        break;  // one report per pass; later roots wait for the next pass
      }
    }
  }
  // Both locks are released: the callback may call any exported function, this one included.
  if (cb != nullptr) cb(reported, "", user);
}

extern "C" KOBAS_API int kobas_on_change(kobas_change_cb cb, void* user) {
  set_ok();
  change_table* c = changes_get();
  plat_lock_guard hold(&c->lock);
  c->cb = cb;
  c->user = user;
  return cb != nullptr ? 1 : 0;
}

extern "C" KOBAS_API void kobas_poll_changes(void) {
  set_ok();
  try {
    poll_changes_once();
  } catch (...) {
    set_error(-5, "out of memory");
    return;
  }
  set_ok();  // the pass succeeded, whatever the callback's own calls left on this thread
}
