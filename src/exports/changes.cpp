// changes.cpp: the change watcher CHG. A pass fingerprints the top level of every root (a hash
// of every listed entry), keeps each fingerprint in its root's record, and reports one changed
// root to the one registered callback. Passes run on the caller's thread; there is no timer.
#include "exports/changes.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "content/listing.h"
#include "content/roots.h"
#include "exports/events.h"
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

// Per thread, read by other threads under the change lock; its address names the thread.
struct thread_mark {
  int waiting;  // 1 while this thread waits in kobas_on_change for earlier calls to end
};
thread_local thread_mark t_mark;

// One call of the callback in progress, kept on the stack of the pass that makes it.
struct callback_call {
  callback_call* next;
  const thread_mark* thread;
  uint64_t generation;  // of the callback it calls
};

// The fingerprints themselves live in the root records (root_watch), under the registry lock.
struct change_table {
  plat_mutex lock;  // guards the fields below but passes; taken after the registry lock
  plat_cond call_ended;
  kobas_change_cb cb;
  void* user;
  uint64_t generation;   // bumped by every kobas_on_change
  callback_call* calls;  // in progress, on any thread
  int waiters;           // threads waiting in kobas_on_change
  uint64_t passes;       // passes so far; guarded by the registry lock, which every pass takes
};

change_table CHG;

change_table* changes_get() {
  // A function-local static is initialised exactly once, even with concurrent first callers.
  static const bool lock_ready = [] {
    plat_mutex_init(&CHG.lock);
    plat_cond_init(&CHG.call_ended);
    return true;
  }();
  (void)lock_ready;
  return &CHG;
}

// Takes a call of the callback off the list when it returns, however it returns, and wakes the
// threads that wait for it. The pass puts the call on the list in the same hold of the change
// lock in which it reads the callback, so a replacement never misses it.
class call_in_progress {
 public:
  call_in_progress(change_table* c, callback_call* rec) : c_(c), rec_(rec) {}
  ~call_in_progress() {
    plat_lock_guard hold(&c_->lock);
    for (callback_call** at = &c_->calls; *at != nullptr; at = &(*at)->next) {
      if (*at == rec_) {
        *at = rec_->next;
        break;
      }
    }
    plat_cond_broadcast(&c_->call_ended);
  }
  call_in_progress(const call_in_progress&) = delete;
  call_in_progress& operator=(const call_in_progress&) = delete;

 private:
  change_table* c_;
  callback_call* rec_;
};

// Caller holds the change lock. Whether a call of a callback older than GENERATION is still
// running somewhere it can end. The calling thread's own calls cannot end before it returns
// (the callback may replace itself), nor can those of a thread that waits here too: waiting
// for either would never end.
bool earlier_call_running(const change_table* c, uint64_t generation) {
  for (const callback_call* k = c->calls; k != nullptr; k = k->next) {
    if (k->generation < generation && k->thread != &t_mark && k->thread->waiting == 0) return true;
  }
  return false;
}

// Stores what the pass saw. A first sighting is no change; a change stays pending until a
// report (or a pass without a callback) takes it, so a root not reported by this pass is by a
// later one even if it changes no further. Passes read the disk side by side, so one that
// began before the stored reading never replaces it: that would report the older state as a
// change, and the newer one again after it.
void note_print(root_watch* w, const root_print& now, uint64_t pass) {
  if (pass < w->scanned_in) return;
  w->scanned_in = pass;
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

// A root a pass reads, copied out of the registry so the reading needs no lock.
struct root_reading {
  uint64_t id;
  std::string path;
  root_print print;
};

// Caller holds the registry lock. The folder roots to read: all of them, or the one with ONLY
// (an id) when ONLY is not 0. File roots have no listing and are never reported.
std::vector<root_reading> roots_to_read(const root_registry* r, uint64_t only) {
  std::vector<root_reading> out;
  for (int i = 0; i < r->count; ++i) {
    const root_rec& root = r->roots[i];
    if (root.is_file != 0 || (only != 0 && root.id != only)) continue;
    out.push_back({root.id, root.path, {}});
  }
  return out;
}

// Caller holds the registry lock. Records each reading in the root it was taken of, if that
// root is still registered; both lists are in increasing id, so one walk matches them.
void record_readings(root_registry* r, const std::vector<root_reading>& readings, uint64_t pass) {
  int i = 0;
  for (const root_reading& got : readings) {
    while (i < r->count && r->roots[i].id < got.id) ++i;
    if (i == r->count) return;
    if (r->roots[i].id == got.id) note_print(&r->roots[i].watch, got.print, pass);
  }
}

// One pass: reads ONLY's folder (an id), or every folder root when ONLY is 0, then reports the
// oldest unreported change of any root. The registry lock is held only to copy the paths out
// and to record what was read, never while the disk is read, so requests that look up a root
// go on beside a pass however many folders it reads.
void run_pass(uint64_t only) {
  root_registry* r = roots_get();
  change_table* c = changes_get();
  std::vector<root_reading> readings;
  uint64_t pass = 0;
  {
    plat_lock_guard registry_hold(&r->lock);
    pass = ++c->passes;
    readings = roots_to_read(r, only);
  }
  for (root_reading& one : readings) one.print = snapshot_root(one.path.c_str());

  char reported[ROOT_NAME_MAX_BYTES + 1];
  reported[0] = '\0';
  // Without a callback the changes are absorbed, but the followers over HTTP are still told.
  std::vector<std::string> absorbed;
  kobas_change_cb cb = nullptr;
  void* user = nullptr;
  callback_call call{nullptr, &t_mark, 0};
  {
    plat_lock_guard registry_hold(&r->lock);
    record_readings(r, readings, pass);
    // The report goes to the oldest unreported change, the earliest registered among equals, so
    // a root that keeps changing cannot starve others.
    root_rec* next = nullptr;
    for (int i = 0; i < r->count; ++i) {
      root_rec& root = r->roots[i];
      if (root.watch.pending != 0 &&
          (next == nullptr || root.watch.pending_since < next->watch.pending_since)) {
        next = &root;
      }
    }
    plat_lock_guard change_hold(&c->lock);
    if (c->cb == nullptr) {
      // Changes seen while reporting is off are absorbed, not reported later.
      for (int i = 0; i < r->count; ++i) {
        if (r->roots[i].watch.pending != 0) absorbed.emplace_back(r->roots[i].name);
        r->roots[i].watch.pending = 0;
      }
    } else if (next != nullptr) {
      next->watch.pending = 0;
      std::snprintf(reported, sizeof reported, "%s", next->name);
      cb = c->cb;
      user = c->user;
      call.generation = c->generation;
      call.next = c->calls;
      c->calls = &call;
    }
  }
  for (const std::string& name : absorbed) events_change(name.c_str(), "");
  if (cb == nullptr) return;
  {
    const call_in_progress in_progress(c, &call);
    // Both locks are released: the callback may call any exported function, this one included.
    cb(reported, "", user);
  }
  // The host hears of it first; the followers over HTTP right after, never from host code.
  events_change(reported, "");
}

}  // namespace

root_print snapshot_root(const char* path) {
  root_print out{FNV_OFFSET, 0};
  dent* entries = nullptr;
  int count = 0;
  int truncated = 0;
  // The listing's rules, not the watcher's own: what a client can see changing is what counts.
  // A folder that cannot be listed (gone, or not a folder any more) reads apart from an empty
  // one, so an empty root that disappears or comes back is a change.
  if (list_dir(path, &entries, &count, &truncated) != 0) {
    out.count = ROOT_PRINT_UNLISTED;
    return out;
  }
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
  run_pass(0);
}

void poll_new_root(uint64_t id) {
  run_pass(id);
}

int changes_waiters() {
  change_table* c = changes_get();
  plat_lock_guard hold(&c->lock);
  return c->waiters;
}

extern "C" KOBAS_API int kobas_on_change(kobas_change_cb cb, void* user) {
  set_ok();
  change_table* c = changes_get();
  plat_lock_guard hold(&c->lock);
  c->cb = cb;
  c->user = user;
  const uint64_t generation = ++c->generation;
  // A host may free the old user value once this returns, so no call of the old callback may
  // still be running then.
  if (earlier_call_running(c, generation)) {
    t_mark.waiting = 1;
    ++c->waiters;
    plat_cond_broadcast(&c->call_ended);  // a thread waiting for this one's calls may go on
    constexpr int slice_ms = 1000;        // wake-ups are broadcast; the slice only bounds a miss
    while (earlier_call_running(c, generation))
      plat_cond_wait_ms(&c->call_ended, &c->lock, slice_ms);
    --c->waiters;
    t_mark.waiting = 0;
  }
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
