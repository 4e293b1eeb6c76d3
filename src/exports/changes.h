// changes.h: the change watcher. A pass fingerprints each root's top level and reports the first
// root whose fingerprint changed to the registered callback.
#pragma once

#include <cstdint>

// A root's top level as its listing shows it: every listed entry's name, kind, size and
// modification time (to the finest unit recorded), folded into one hash, and their number.
struct root_print {
  uint64_t hash;
  int64_t count;
};

// One pass over the registry: takes the registry lock, then the change lock; calls the callback
// (at most once) with both released.
void poll_changes_once();
// The fingerprint of one root path, by the listing's own rules (hidden names and links leading
// out of the folder do not count); no entries when it is not a readable folder.
root_print snapshot_root(const char* path);
