// changes.cpp: the change watcher CHG. A pass fingerprints the top level of every root (a hash
// of every listed entry), keeps each fingerprint in its root's record, and reports one changed
// root to the one registered callback. Passes run on the caller's thread; there is no timer.
#include "exports/changes.h"

#include <cstdio>
#include <cstring>

#include "content/listing.h"
#include "content/roots.h"
#include "kobas.h"
#include "plat/plat.h"
#include "util/last_error.h"

namespace {

// FNV-1a, 64 bits: cheap, and a change of any byte of any entry moves it.
constexpr uint64_t FNV_OFFSET = 14695981039346656037ULL;
constexpr uint64_t FNV_PRIME = 1099511628211ULL;

void mix_bytes(uint64_t* h, const void* bytes, size_t n) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  for (size_t i = 0; i < n; ++i) {
    *h ^= p[i];
    *h *= FNV_PRIME;
  }
}

// Byte by byte from the lowest, so the hash does not depend on the machine's byte order.
void mix_number(uint64_t* h, int64_t v) {
  unsigned char b[8];
  for (int i = 0; i < 8; ++i)
    b[i] = static_cast<unsigned char>(static_cast<uint64_t>(v) >> (8 * i));
  mix_bytes(h, b, sizeof b);
}

// The fingerprints themselves live in the root records (root_watch), under the registry lock.
struct change_table {
  plat_mutex lock;  // guards the callback and its user value; taken after the registry lock
  kobas_change_cb cb;
  void* user;
  uint64_t passes;  // passes so far; guarded by the registry lock, which every pass holds
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

// Stores what the pass saw. A first sighting is no change; a change stays pending until a
// report (or a pass without a callback) takes it, so a root not reported by this pass is by a
// later one even if it changes no further.
void note_print(root_watch* w, const root_print& now, uint64_t pass) {
  if (w->seen == 0) {
    w->print = now;
    w->seen = 1;
    return;
  }
  if (w->print.hash == now.hash && w->print.count == now.count) return;
  w->print = now;
  if (w->pending == 0) {
    w->pending = 1;
    w->pending_since = pass;
  }
}

}  // namespace

root_print snapshot_root(const char* path) {
  root_print out{FNV_OFFSET, 0};
  dent* entries = nullptr;
  int count = 0;
  int truncated = 0;
  // The listing's rules, not the watcher's own: what a client can see changing is what counts.
  if (list_dir(path, &entries, &count, &truncated) != 0) return out;
  for (int i = 0; i < count; ++i) {
    const dent& e = entries[i];
    mix_bytes(&out.hash, e.name, std::strlen(e.name) + 1);  // the terminator keeps names apart
    mix_number(&out.hash, e.is_dir);
    mix_number(&out.hash, e.size);
    mix_number(&out.hash, e.mtime);
    mix_number(&out.hash, e.mtime_ns);
  }
  free_dents(entries, count);
  out.count = count;
  return out;
}

void poll_changes_once() {
  root_registry* r = roots_get();
  change_table* c = changes_get();
  char reported[ROOT_NAME_MAX_BYTES + 1];
  kobas_change_cb cb = nullptr;
  void* user = nullptr;
  {
    plat_lock_guard registry_hold(&r->lock);
    const uint64_t pass = ++c->passes;
    // Every root is looked at and recorded; the report goes to the oldest unreported change,
    // the earliest registered among equals, so a root that keeps changing cannot starve others.
    root_rec* next = nullptr;
    for (int i = 0; i < r->count; ++i) {
      root_rec& root = r->roots[i];
      note_print(&root.watch, snapshot_root(root.path), pass);
      if (root.watch.pending != 0 &&
          (next == nullptr || root.watch.pending_since < next->watch.pending_since)) {
        next = &root;
      }
    }
    plat_lock_guard change_hold(&c->lock);
    if (c->cb == nullptr) {
      // Changes seen while reporting is off are absorbed, not reported later.
      for (int i = 0; i < r->count; ++i) r->roots[i].watch.pending = 0;
    } else if (next != nullptr) {
      next->watch.pending = 0;
      std::snprintf(reported, sizeof reported, "%s", next->name);
      cb = c->cb;
      user = c->user;
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
