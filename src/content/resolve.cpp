// resolve.cpp: from (root name, relative path) to one target opened inside that root. The
// textual safety test runs first; then the target is opened beneath the root's open folder in
// one step, so a link that leads out, or one swapped in while the request is served, is refused
// by the lookup itself and the handle served is the one that was checked.
#include "content/resolve.h"

#include <cstring>
#include <string>
#include <string_view>

#include "content/roots.h"
#include "util/last_error.h"
#include "util/path_safe.h"
#include "util/str.h"

namespace {

constexpr size_t ROOT_KEY_BYTES = 260;  // a file name's worth on every platform
// A root held open would go on serving a folder that was replaced or remounted at the root's
// path (a disk plugged in again): it is opened afresh once this old, when next used.
constexpr uint64_t ROOT_REOPEN_MS = 1000;

// Caller holds the registry lock. Null when no root bears NAME.
root_rec* find_by_name(root_registry* r, const char* name) {
  if (name == nullptr) return nullptr;
  for (int i = 0; i < r->count; ++i) {
    if (std::strcmp(r->roots[i].name, name) == 0) return &r->roots[i];
  }
  return nullptr;
}

// A component beginning with "." is hidden: the listing leaves such names out, and a request
// may not reach what a listing would not show (a shared home folder's ".ssh").
bool has_hidden_component(std::string_view rel) {
  size_t pos = 0;
  while (pos < rel.size()) {
    if (rel[pos] == '.') return true;
    size_t slash = rel.find('/', pos);
    if (slash == std::string_view::npos) break;
    pos = slash + 1;
  }
  return false;
}

int not_found(const char* what) {
  set_error(-4, "%s", what);
  return 404;
}

// A folder root's open folder, with a reference for the caller. It is opened afresh first when
// it has been held long enough to be stale, when it could not be opened last time, or when the
// root itself is asked for (a page of a root that was deleted must not show an empty folder).
struct root_pick {
  root_dir* dir = nullptr;
  bool is_file = false;
  bool found = false;
  std::string path;  // the root's path, copied for a file root or a reopening
};

root_pick pick_root(const char* name, bool reopen) {
  root_pick p;
  root_registry* r = roots_get();
  root_dir* held = nullptr;
  {
    plat_lock_guard hold(&r->lock);
    root_rec* root = find_by_name(r, name);
    if (root == nullptr) return p;
    p.found = true;
    p.is_file = root->is_file != 0;
    held = root->dir;
    const uint64_t now = plat_now_ms();
    if (held != nullptr && now - held->opened_ms >= ROOT_REOPEN_MS) {
      held->opened_ms = now;  // the others go on with it while this request reopens
      reopen = true;
    }
    if (p.is_file || reopen || held == nullptr) p.path = root->path;
    if (p.is_file) return p;
    if (held != nullptr) held->refs.fetch_add(1, std::memory_order_relaxed);
    if (!reopen && held != nullptr) {
      p.dir = held;
      return p;
    }
  }
  // Opened outside the lock: the lookup makes system calls, and the workers would queue.
  root_dir* fresh = root_dir_open(p.path.c_str());
  if (fresh != nullptr) fresh->refs.store(2, std::memory_order_relaxed);  // registry, caller
  {
    plat_lock_guard hold(&r->lock);
    root_rec* root = find_by_name(r, name);
    if (root != nullptr && root->dir == held) {
      root->dir = fresh;       // null when the folder is gone: the next request tries again
      root_dir_release(held);  // the registry's reference
    } else {
      // Removed meanwhile (this request finds it gone), or reopened by another request: use
      // what the registry holds now.
      root_dir_release(fresh);
      root_dir_release(fresh);
      fresh = root != nullptr ? root->dir : nullptr;
      if (fresh != nullptr) fresh->refs.fetch_add(1, std::memory_order_relaxed);
    }
  }
  root_dir_release(held);  // the caller's reference
  p.dir = fresh;
  return p;
}

}  // namespace

opened_target::~opened_target() {
  plat_opened_close(&o);
  root_dir_release(root);
}

int resolve_open(const char* name, const char* rel, opened_target* out) {
  if (out == nullptr) {
    set_error(-1, "no place for the result");
    return -1;
  }
  plat_opened_close(&out->o);
  root_dir_release(out->root);
  out->root = nullptr;
  root_pick root = pick_root(name, rel != nullptr && rel[0] == '\0');
  if (!root.found) {
    set_error(-4, "no root named %s", name != nullptr ? name : "(null)");
    return 404;
  }
  if (root.is_file) {
    // A file root answers exactly one relative path: the last component of its own path.
    char key[ROOT_KEY_BYTES];
    root_key_of(root.path.c_str(), key, sizeof key);
    if (rel == nullptr || rel[0] == '\0' || std::strcmp(rel, key) != 0) {
      set_error(-4, "a file root serves only %s", key);
      return 404;
    }
    // Opened afresh, following no link on its path: a file root whose path was swapped for a
    // link (or whose folder was) answers 404 until the file itself is back.
    if (plat_open_path(root.path.c_str(), &out->o) != 0 || out->o.file == nullptr) {
      plat_opened_close(&out->o);
      return not_found("no such file");
    }
    return 0;
  }
  out->root = root.dir;  // the reference moves to OUT, which drops it however this ends
  const int safe = path_is_safe(rel);
  if (safe != 0) {
    set_error(-7, "unsafe relative path");
    return safe;
  }
  if (has_hidden_component(rel)) {
    set_error(-7, "hidden name");
    return 404;
  }
  if (out->root == nullptr) return not_found("no such file or folder");
  if (plat_open_beneath(out->root->handle, rel, &out->o) != 0) {
    return not_found("no such file or folder");
  }
  return 0;
}

int entry_served(void* rule, const char* name, plat_stat_rec* out) {
  const auto* r = static_cast<const entry_rule*>(rule);
  *out = plat_stat_rec{};
  if (r->folder == nullptr || r->folder->root == nullptr || name[0] == '.') return -1;
  try {
    std::string rel(r->rel != nullptr ? r->rel : "");
    if (!rel.empty() && rel.back() != '/') rel += '/';
    rel += name;
    plat_opened entry{};
    if (plat_open_beneath(r->folder->root->handle, rel.c_str(), &entry) != 0) return -1;
    *out = entry.st;
    plat_opened_close(&entry);
    return 0;
  } catch (...) {  // only allocation throws here; the entry is left out
    return -1;
  }
}

std::string target_folder_path(const char* name, const char* rel) {
  try {
    root_registry* r = roots_get();
    std::string path;
    bool is_file = false;
    {
      plat_lock_guard hold(&r->lock);
      const root_rec* root = find_by_name(r, name);
      if (root == nullptr) return {};
      path = root->path;
      is_file = root->is_file != 0;
    }
    if (is_file) {
      const size_t cut = path.find_last_of("/\\");
      return cut == std::string::npos ? std::string() : path.substr(0, cut == 0 ? 1 : cut);
    }
    const std::string_view r_text(rel != nullptr ? rel : "");
    const size_t slash = r_text.rfind('/');
    if (slash != std::string_view::npos) path.append("/").append(r_text.substr(0, slash));
    return path;
  } catch (...) {  // only allocation throws here
    return {};
  }
}
