// resolve.h: turns (root name, relative path) into one target opened inside the root. The only
// way from a request to the disk: what it opened is what is served.
#pragma once

#include <cstdint>
#include <string>

#include "plat/plat.h"

struct root_dir;

// A target opened by resolve_open: the file or folder and its record, read from the handle.
// Closes what it holds; one thread at a time.
struct opened_target {
  plat_opened o{};
  root_dir* root = nullptr;  // the folder root it was opened beneath (a reference); null for a
                             // file root
  opened_target() = default;
  opened_target(const opened_target&) = delete;
  opened_target& operator=(const opened_target&) = delete;
  ~opened_target();
  bool is_dir() const { return o.dir != nullptr; }
};

// Opens NAME/REL into OUT. 0 opened; 404 no such root, missing, leading out of the root, a
// component that begins with "." (never listed, so never served), or a file root asked for
// another name; 400 or 404 from the safety test; -1 no place for the result. Sets the last
// error on failure but not on success.
int resolve_open(const char* name, const char* rel, opened_target* out);

// Whether the entry NAME of the folder REL of an opened root would be served, and what it is:
// 0 with OUT filled from the opened entry, -1 when a request for it would be refused. The
// listing asks this of every link, so that a link is listed exactly when it can be followed.
struct entry_rule {
  const opened_target* folder;
  const char* rel;
};
int entry_served(void* rule, const char* name, plat_stat_rec* out);

// The folder that holds NAME/REL, as path text: for change notifications only, never opened
// from. Empty when there is no such root, or memory ran out.
std::string target_folder_path(const char* name, const char* rel);
