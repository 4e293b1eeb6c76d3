// changes.cpp: the change watcher CHG. A pass fingerprints the top level of every root (a hash
// of every listed entry) and reports the first root whose fingerprint moved to the one
// registered callback. Passes run on the caller's thread; there is no timer.
#include "exports/changes.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "content/listing.h"
#include "content/roots.h"
#include "kobas.h"
#include "plat/plat.h"
#include "util/last_error.h"

namespace {

constexpr int FINGERPRINTS_MAX = 4096;  // one per root the registry can hold
constexpr size_t FP_NAME_BYTES = 160;   // 159 bytes of name and the terminator

struct fingerprint {
  char name[FP_NAME_BYTES];
  root_print print;
};

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
bool record_print(change_table* c, std::string_view key, const root_print& now) {
  fingerprint* fp = find_print(c, key);
  if (fp == nullptr) {
    // A first sighting is no change; a full table leaves the root unwatched.
    if (c->count < FINGERPRINTS_MAX) {
      fingerprint& added = c->prints[c->count++];
      copy_key(key, added.name);
      added.print = now;
    }
    return false;
  }
  if (fp->print.hash == now.hash && fp->print.count == now.count) return false;
  fp->print = now;
  return true;
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
  char reported[FP_NAME_BYTES];
  kobas_change_cb cb = nullptr;
  void* user = nullptr;
  {
    plat_lock_guard registry_hold(&r->lock);
    for (int i = 0; i < r->count; ++i) {
      const root_print now = snapshot_root(r->roots[i].path);
      plat_lock_guard change_hold(&c->lock);
      const std::string_view key = key_of(r->roots[i].name);
      if (record_print(c, key, now) && c->cb != nullptr) {
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
