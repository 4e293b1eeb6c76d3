// changes.h: the change watcher. A pass fingerprints each root's top level and reports the first
// root whose fingerprint changed to the registered callback.
#pragma once

#include <cstdint>

// One pass over the registry: takes the registry lock, then the change lock; calls the callback
// (at most once) with both released.
void poll_changes_once();
// Fingerprint of one root path: visible top-level entries and their newest modification time;
// (0, 0) when it is not a readable folder.
void snapshot_root(const char* path, int64_t* out_count, int64_t* out_newest);
