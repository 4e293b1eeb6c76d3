// file_cache.h: files recently answered, kept open with what their handle said of them, so that
// the next request for the same name is answered without opening, examining and closing again.
// An entry is a file opened beneath its root by the resolver, so it can never yield a byte from
// outside the root; what it can do is serve a version that is no longer there, and that is
// bounded: an entry is used for at most FILE_CACHE_FRESH_MS after it was opened, and dropped at
// once when its root is removed or re-added, when the registry is emptied, and when a change
// notification (where the platform has them) names its folder.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "plat/plat.h"
#include "server/http.h"

inline constexpr uint64_t FILE_CACHE_FRESH_MS = 1000;
inline constexpr int FILE_CACHE_MAX_ENTRIES = 512;
// Files this small are kept as bytes too, read from the handle when it was kept, so an answer
// leaves in one send with its head; never more than FILE_CACHE_MAX_BYTES of them in all.
inline constexpr int64_t FILE_CACHE_SMALL_BYTES = 16384;
inline constexpr int64_t FILE_CACHE_MAX_BYTES = 1 << 20;

shared_file share_file(plat_file* f);  // takes F; empty for null or when memory ran out

// One file as the cache hands it out: the handle and the record read from that same handle,
// and for a small file its bytes, all of one version.
struct cached_file {
  shared_file file;
  plat_stat_rec st{};
  std::shared_ptr<const std::string> bytes;  // null when not kept as bytes
};

// What a resolution must record before it opens, for its result to be kept afterwards: a root
// removed meanwhile makes the result too old to keep.
uint64_t file_cache_epoch();

// The entry for NAME/REL when one is fresh enough: true with OUT filled.
bool file_cache_find(const char* name, const char* rel, cached_file* out);
// Keeps F, the file NAME/REL resolved to, opened after EPOCH was read, and reads a small one's
// bytes into F->bytes when there is room for them. It holds a descriptor of the connection
// bound while kept, and is not kept when the bound has none to spare.
void file_cache_keep(const char* name, const char* rel, uint64_t epoch, cached_file* f);
// Lets the least recently used entry go, and its descriptor with it: for a bound that ran
// short. False when there was none.
bool file_cache_shed();
// Lets every entry go.
void file_cache_forget_all();
// Lets the entries too old to be used go, so that no file stays open longer than that for
// nothing (a disk its owner wants to unmount, a file Windows would not let be replaced): for a
// clock that runs about once a second.
void file_cache_sweep();

// With the server: CAPACITY entries at most (0 keeps none). Where change reports come through
// pollers, each of the COUNT POLLERS reports KEY while some wait, and the worker that sees it
// calls file_cache_notified before it runs what it took from that wait.
void file_cache_start(int capacity, plat_poller* const* pollers, int count, void* key);
void file_cache_notified();
void file_cache_stop();
