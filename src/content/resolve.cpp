// resolve.cpp: from (root name, relative path) to one target inside that root. The textual
// safety test runs first; containment is then decided on the resolved path, so links that lead
// out of a root are refused too. Paths that do not fit a buffer are refused, never cut: a cut
// path could name something else.
#include "content/resolve.h"

#include <cstring>
#include <string_view>

#include "content/roots.h"
#include "plat/plat.h"
#include "util/last_error.h"
#include "util/path_safe.h"
#include "util/str.h"

namespace {

constexpr size_t JOINED_PATH_BYTES = 2200;  // room for a 2,047-byte root path, "/" and more
constexpr size_t ROOT_KEY_BYTES = 260;      // a file name's worth on every platform

// Copies TEXT with its terminator into OUT of SIZE bytes; false when it does not fit.
bool copy_whole(std::string_view text, char* out, size_t size) {
  if (out == nullptr || text.size() >= size) return false;
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return true;
}

int refuse_too_long() {
  set_error(-4, "path too long");
  return 404;
}

// Caller holds the registry lock. Null when no root bears NAME.
const root_rec* find_by_name(const root_registry* r, const char* name) {
  if (name == nullptr) return nullptr;
  for (int i = 0; i < r->count; ++i) {
    if (std::strcmp(r->roots[i].name, name) == 0) return &r->roots[i];
  }
  return nullptr;
}

}  // namespace

int resolve_rel(const char* root_path, const char* rel, char* out_path, size_t out_path_size,
                int* out_is_dir, int64_t* out_size, int64_t* out_mtime) {
  if (root_path == nullptr || root_path[0] == '\0') {
    set_error(-1, "root path empty");
    return -1;
  }
  const int safe = path_is_safe(rel);
  if (safe != 0) {
    set_error(-7, "unsafe relative path");
    return safe;
  }
  char joined[JOINED_PATH_BYTES];
  // "/" joins on every platform; plat_realpath normalises the separators.
  const size_t root_len = std::strlen(root_path);
  const size_t rel_len = std::strlen(rel);
  const size_t n = root_len + (rel_len > 0 ? 1 + rel_len : 0);
  if (n >= sizeof joined) return refuse_too_long();
  std::memcpy(joined, root_path, root_len);
  if (rel_len > 0) {
    joined[root_len] = '/';
    std::memcpy(joined + root_len + 1, rel, rel_len);
  }
  joined[n] = '\0';

  // The walk that resolves the links has just looked at the target: its record comes along.
  // The stored root path is already resolved, so below it only REL's own components are walked.
  // A root swapped for a link after registration is therefore not re-checked: roots are the
  // operator's configuration, not something a request can change.
  plat_stat_rec st{};
  heap_text resolved(rel[0] != '\0' ? plat_realpath_stat_under(root_path, rel, &st)
                                    : plat_realpath_stat(joined, &st));
  if (!resolved) {
    set_error(-4, "cannot resolve %s", joined);
    return 404;
  }
  if (!plat_path_under(resolved.get(), root_path)) {
    set_error(-7, "escapes the root");
    return 404;
  }
  if (!st.is_dir && !st.is_file) {
    set_error(-4, "no such file or folder");
    return 404;
  }
  if (!copy_whole(resolved.get(), out_path, out_path_size)) return refuse_too_long();
  if (out_is_dir != nullptr) *out_is_dir = st.is_dir ? 1 : 0;
  if (out_size != nullptr) *out_size = st.is_dir ? -1 : st.size;
  if (out_mtime != nullptr) *out_mtime = st.mtime;
  return 0;
}

int resolve_request(const char* name, const char* rel, char* out_path, size_t out_path_size,
                    int* out_is_dir, int64_t* out_size, int64_t* out_mtime) {
  // The root's path is copied under the registry lock and resolved after it is released: the
  // walk makes system calls, and held across them the lock made the workers queue behind each
  // other on every request.
  char root_path[JOINED_PATH_BYTES];
  bool is_file = false;
  root_registry* r = roots_get();
  {
    plat_lock_guard hold(&r->lock);
    const root_rec* root = find_by_name(r, name);
    if (root == nullptr) {
      set_error(-4, "no root named %s", name != nullptr ? name : "(null)");
      return 404;
    }
    if (!copy_whole(root->path, root_path, sizeof root_path)) return refuse_too_long();
    is_file = root->is_file != 0;
  }
  if (!is_file) {
    return resolve_rel(root_path, rel, out_path, out_path_size, out_is_dir, out_size, out_mtime);
  }
  // A file root answers exactly one relative path: the last component of its own path.
  char key[ROOT_KEY_BYTES];
  root_key_of(root_path, key, sizeof key);
  if (rel == nullptr || rel[0] == '\0' || std::strcmp(rel, key) != 0) {
    set_error(-4, "a file root serves only %s", key);
    return 404;
  }
  if (!copy_whole(root_path, out_path, out_path_size)) return refuse_too_long();
  plat_stat_rec st{};
  if (plat_stat(out_path, &st, 1) != 0) return 404;
  if (out_is_dir != nullptr) *out_is_dir = 0;
  if (out_size != nullptr) *out_size = st.size;
  if (out_mtime != nullptr) *out_mtime = st.mtime;
  return 0;
}
