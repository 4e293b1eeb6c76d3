// file_cache.cpp: the kept files, least recently used first out, under one lock: a lookup is a
// hash probe and a splice, far shorter than the system calls it saves.
#include "server/file_cache.h"

#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "content/resolve.h"
#include "content/roots.h"
#include "server/handler.h"

namespace {

struct entry {
  std::string key;  // root name, a NUL, the relative path
  cached_file f;
  uint64_t fresh_until_ms = 0;
  int watch = -1;  // the notification id of its folder
};

struct cache_state {
  std::mutex lock;
  std::list<entry> lru;  // most recently used first
  std::unordered_map<std::string_view, std::list<entry>::iterator> by_key;  // views of lru keys
  // The folders watched for the entries: notification id -> how many entries, and path -> id,
  // so that the next file of a watched folder costs no call.
  std::unordered_map<int, int> watch_users;
  std::unordered_map<std::string, int> watch_of;
  int capacity = 0;
  int64_t bytes_kept = 0;  // of the entries' bytes, against FILE_CACHE_MAX_BYTES
  uint64_t epoch = 0;      // the registry's generation the entries were opened under
  plat_notify* notify = nullptr;
};

cache_state C;

// Longest key: a root name the handler accepts, a NUL, a relative path it accepts.
constexpr size_t KEY_BYTES = 2080;

bool make_key(const char* name, const char* rel, char (&buf)[KEY_BYTES], std::string_view* out) {
  const size_t n = std::strlen(name);
  const size_t r = std::strlen(rel);
  if (n + 1 + r > KEY_BYTES) return false;
  std::memcpy(buf, name, n);
  buf[n] = '\0';
  std::memcpy(buf + n + 1, rel, r);
  *out = std::string_view(buf, n + 1 + r);
  return true;
}

// Caller holds C.lock.
void drop(std::list<entry>::iterator it) {
  if (it->watch >= 0) {
    auto w = C.watch_users.find(it->watch);
    if (w != C.watch_users.end() && --w->second <= 0) {
      plat_notify_remove(C.notify, it->watch);
      C.watch_users.erase(w);
      std::erase_if(C.watch_of, [&](const auto& kv) { return kv.second == it->watch; });
    }
  }
  if (it->f.bytes) C.bytes_kept -= static_cast<int64_t>(it->f.bytes->size());
  C.by_key.erase(it->key);
  if (it->f.file) descriptor_give();
  C.lru.erase(it);  // closes the file unless an answer still sends from it
}

// Caller holds C.lock.
void drop_all() {
  while (!C.lru.empty()) drop(std::prev(C.lru.end()));
}

// Caller holds C.lock. Entries opened under other roots than the registry's now go.
void follow_registry() {
  const uint64_t now = roots_get()->generation.load(std::memory_order_acquire);
  if (now == C.epoch) return;
  drop_all();
  C.epoch = now;
}

void forget_folder(void*, int id) {
  if (id < 0) return drop_all();
  for (auto it = C.lru.begin(); it != C.lru.end();) {
    auto here = it++;
    if (here->watch == id) drop(here);
  }
}

// The bytes of a small file, read from its handle; null when it is not small, or came up short
// (it shrank since it was examined: that version is not kept as bytes).
std::shared_ptr<const std::string> read_small(const cached_file& f) {
  if (f.st.size <= 0 || f.st.size > FILE_CACHE_SMALL_BYTES) return {};
  auto bytes = std::make_shared<std::string>(static_cast<size_t>(f.st.size), '\0');
  if (plat_fread_at(f.file.get(), 0, bytes->data(), static_cast<uint32_t>(f.st.size)) !=
      f.st.size) {
    return {};
  }
  return bytes;
}

}  // namespace

shared_file share_file(plat_file* f) {
  if (f == nullptr) return {};
  try {
    return shared_file(f, plat_fclose);
  } catch (...) {  // the deleter has closed it
    return {};
  }
}

uint64_t file_cache_epoch() {
  return roots_get()->generation.load(std::memory_order_acquire);
}

bool file_cache_find(const char* name, const char* rel, cached_file* out) {
  char buf[KEY_BYTES];
  std::string_view key;
  if (!make_key(name, rel, buf, &key)) return false;
  std::lock_guard<std::mutex> hold(C.lock);
  if (C.lru.empty()) return false;
  follow_registry();
  auto found = C.by_key.find(key);
  if (found == C.by_key.end()) return false;
  auto it = found->second;
  if (plat_now_ms() >= it->fresh_until_ms) {
    drop(it);
    return false;
  }
  // Where changes are asked about per folder, the folder is asked now.
  if (it->watch >= 0 && plat_notify_check(C.notify, it->watch) != 0) {
    forget_folder(nullptr, it->watch);
    return false;
  }
  C.lru.splice(C.lru.begin(), C.lru, it);
  *out = it->f;
  return true;
}

void file_cache_keep(const char* name, const char* rel, uint64_t epoch, cached_file* f) {
  if (!f->file) return;
  char buf[KEY_BYTES];
  std::string_view key;
  if (!make_key(name, rel, buf, &key)) return;
  try {
    // Read outside the lock; whether there is room for them is decided under it.
    std::shared_ptr<const std::string> bytes = read_small(*f);
    // Found outside the lock: it takes the registry's.
    const std::string folder = C.notify != nullptr ? target_folder_path(name, rel) : std::string();
    std::lock_guard<std::mutex> hold(C.lock);
    if (C.capacity <= 0) return;
    follow_registry();
    // Opened under roots that changed before it got here: it may belong to none of them.
    if (epoch != C.epoch) return;
    auto found = C.by_key.find(key);
    if (found != C.by_key.end()) drop(found->second);
    if (static_cast<int>(C.lru.size()) >= C.capacity) drop(std::prev(C.lru.end()));
    const bool bytes_fit = bytes && C.bytes_kept + f->st.size <= FILE_CACHE_MAX_BYTES;
    // Where a file held open cannot be replaced or its name made again (Windows), only the
    // bytes of small files are kept, and no handle.
    const bool hold_handle = plat_open_file_blocks_changes() == 0;
    if (!hold_handle && !bytes_fit) return;
    if (hold_handle && !descriptor_try()) return;
    if (bytes_fit) {
      C.bytes_kept += f->st.size;
      f->bytes = std::move(bytes);
    }
    entry& e = C.lru.emplace_front();
    e.key.assign(key);
    e.f = *f;
    if (!hold_handle) e.f.file.reset();
    e.fresh_until_ms = plat_now_ms() + FILE_CACHE_FRESH_MS;
    C.by_key.emplace(e.key, C.lru.begin());
    if (!folder.empty()) {
      auto known = C.watch_of.find(folder);
      e.watch =
          known != C.watch_of.end() ? known->second : plat_notify_add(C.notify, folder.c_str());
      if (e.watch >= 0) {
        ++C.watch_users[e.watch];
        C.watch_of.emplace(folder, e.watch);
      }
    }
  } catch (...) {
    // Only allocation throws here: the file is answered all the same, just not kept.
  }
}

bool file_cache_shed() {
  std::lock_guard<std::mutex> hold(C.lock);
  for (auto it = C.lru.rbegin(); it != C.lru.rend(); ++it) {
    if (!it->f.file) continue;  // bytes alone hold no descriptor
    drop(std::prev(it.base()));
    return true;
  }
  return false;
}

void file_cache_forget_all() {
  std::lock_guard<std::mutex> hold(C.lock);
  drop_all();
}

void file_cache_sweep() {
  std::lock_guard<std::mutex> hold(C.lock);
  const uint64_t now = plat_now_ms();
  for (auto it = C.lru.begin(); it != C.lru.end();) {
    auto here = it++;
    if (now >= here->fresh_until_ms) drop(here);
  }
}

void file_cache_start(int capacity, plat_poller* const* pollers, int count, void* key) {
  std::lock_guard<std::mutex> hold(C.lock);
  drop_all();
  C.capacity = capacity;
  C.epoch = roots_get()->generation.load(std::memory_order_acquire);
  C.notify = capacity > 0 ? plat_notify_open() : nullptr;
  // Where reports come through the pollers, a poller that cannot carry them leaves its
  // connections to the one-second limit.
  for (int i = 0; C.notify != nullptr && i < count; ++i) {
    plat_poller_watch_notify(pollers[i], C.notify, key);
  }
  static std::once_flag hooked;
  std::call_once(hooked, [] { roots_on_removal(file_cache_forget_all); });
}

void file_cache_notified() {
  std::lock_guard<std::mutex> hold(C.lock);
  if (C.notify == nullptr) return;
  plat_notify_drain(C.notify, forget_folder, nullptr);
}

void file_cache_stop() {
  std::lock_guard<std::mutex> hold(C.lock);
  drop_all();
  C.capacity = 0;
  plat_notify_close(C.notify);
  C.notify = nullptr;
}
