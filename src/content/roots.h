// roots.h: the process-wide registry of roots (named folders or single files). Resolution, the
// change watcher, /api/folders and the server stop read it under its lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "plat/plat.h"

struct string_builder;

inline constexpr int ROOTS_MAX = 4096;
inline constexpr int ROOT_NAME_MAX_BYTES = 128;
inline constexpr int ROOT_PATH_MAX_BYTES = 1024;

// A folder root held open for the resolutions in flight; the last holder closes it. Held
// open, a root costs one lookup per request instead of a walk along its path text.
struct root_dir {
  plat_root* handle;
  std::atomic<int> refs;
  uint64_t opened_ms;  // when HANDLE was opened: roots are opened afresh now and then
};

// A root's top level as its listing shows it: every listed entry's name, kind, size and
// modification time (to the finest unit recorded), folded into one hash, and their number.
struct root_print {
  uint64_t hash;
  int64_t count;  // ROOT_PRINT_UNLISTED when the folder could not be listed
};
inline constexpr int64_t ROOT_PRINT_UNLISTED = -1;

// What the change watcher knows of a root. It lives in the root's record, so it goes when the
// root goes: a name used again starts afresh, and no name is ever left unwatched. Written only
// by a change pass, under the registry lock (the pass reads the disk without it).
struct root_watch {
  root_print print;        // as the last pass saw it
  int seen;                // 0 until a pass has taken the first fingerprint
  int pending;             // it changed, and no callback has been told yet
  uint64_t pending_since;  // the pass that found that change: the oldest is reported first
  uint64_t scanned_in;     // the pass whose reading PRINT is: an older pass never overwrites it
};

struct root_rec {
  char* name;     // owned; unique, compared byte for byte
  char* path;     // owned; plat_realpath of the registered path
  int is_file;    // kind at registration, never re-examined
  root_dir* dir;  // one reference, for a folder root; null for a file root
  uint64_t id;    // given at registration, never reused: tells this root from a later namesake
  root_watch watch;
};

struct root_registry {
  plat_mutex lock;            // guards the fields below; taken before the change watcher's lock
  root_rec roots[ROOTS_MAX];  // 0..count-1 in registration order, so in increasing id
  int count;
  uint64_t last_id;
  // Moves (under the lock) whenever a root is added or removed, or the registry is emptied: what
  // was learnt about a file under the old roots is not to be used under the new ones.
  std::atomic<uint64_t> generation;
};

// The registry; its lock is created exactly once, safely against concurrent first callers.
root_registry* roots_get();

// Registers NAME for PATH; 0 or a negative code with the last error set. On success *ID (when
// given) is the new record's id.
int roots_add(root_registry* r, const char* name, const char* path, uint64_t* id = nullptr);
// Removes NAME keeping the order of the others; 0 or a negative code with the last error set.
int roots_remove(root_registry* r, const char* name);
// Empties the registry under its lock (server stop); no change is reported.
void roots_clear(root_registry* r);
// Called, outside the registry's lock, after every removal and emptying, so that a holder of
// files opened beneath the roots lets them go at once (a disk the host wants to unmount).
void roots_on_removal(void (*fn)());
// Appends the roots list JSON to SB, never growing it past MAX_BYTES - 1 bytes: a record that
// does not fit is left out whole. Takes the lock.
void roots_json(root_registry* r, string_builder* sb, size_t max_bytes);

// The folder at PATH held open with one reference; null when it cannot be opened.
root_dir* root_dir_open(const char* path);
void root_dir_release(root_dir* d);  // drops one reference; null does nothing

// The key of a root path (its last component; "root" for an empty path), cut to at most SIZE - 1
// bytes on a character boundary.
void root_key_of(const char* path, char* out, size_t size);
