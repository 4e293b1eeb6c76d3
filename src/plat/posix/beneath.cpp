// beneath.cpp: opening a request's target beneath a root folder on POSIX. The target is found
// and opened in one step relative to the root's descriptor, and what is served is the descriptor
// that step returned: nothing can be swapped between a containment check and the open, because
// there is no separate check. Links inside the root are followed; any way out fails.
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "plat/plat.h"
#include "plat/posix/file_handle.h"

struct plat_root {
  int fd;            // O_PATH descriptor of the root folder
  std::string path;  // the path it was opened at, for links written as absolute paths
};

namespace {

// The kernel's own limit on links followed in one lookup; beyond it a path counts as a loop.
constexpr int kMaxLinks = 40;
// openat2 fails with EAGAIN when a rename elsewhere raced with a ".." step; a few retries
// settle it, after which the walk (which takes no such shortcut) answers.
constexpr int kRetries = 4;

constexpr int kTargetFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Cleared the first time the kernel says it has no openat2 (before 5.6, or filtered out).
std::atomic<bool> g_have_openat2{true};

// Closes a descriptor it owns unless released.
struct fd_owner {
  int fd = -1;
  explicit fd_owner(int f = -1) : fd(f) {}
  ~fd_owner() {
    if (fd >= 0) ::close(fd);
  }
  fd_owner(const fd_owner&) = delete;
  fd_owner& operator=(const fd_owner&) = delete;
  fd_owner(fd_owner&& o) noexcept : fd(o.fd) { o.fd = -1; }
  int release() {
    int f = fd;
    fd = -1;
    return f;
  }
};

// -1 with errno from openat2, or the descriptor; ENOSYS when the kernel lacks it.
int open_with_openat2(int root_fd, const char* rel) {
  open_how how{};
  how.flags = static_cast<uint64_t>(kTargetFlags);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  const char* path = rel[0] != '\0' ? rel : ".";
  for (int i = 0;; ++i) {
    long fd = ::syscall(SYS_openat2, root_fd, path, &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno == EINTR || (errno == EAGAIN && i < kRetries)) continue;
    return -1;
  }
}

// The target text of the link NAME in the folder DIR_FD; false when it cannot be read.
bool read_link_at(int dir_fd, const std::string& name, std::string& out) {
  std::string buf(256, '\0');
  for (;;) {
    ssize_t n = ::readlinkat(dir_fd, name.c_str(), buf.data(), buf.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      out = std::move(buf);
      return true;
    }
    buf.resize(buf.size() * 2);  // a full buffer may mean a cut-off target
  }
}

// Splits TEXT at '/' into PARTS in front of what is already there, keeping their order.
void push_front_parts(std::string_view text, std::vector<std::string>& parts) {
  std::vector<std::string> mine;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('/', pos);
    if (end == std::string_view::npos) end = text.size();
    mine.emplace_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  parts.insert(parts.end(), mine.rbegin(), mine.rend());  // PARTS is a stack: last part first
}

}  // namespace

namespace {

// The same rules as openat2 with RESOLVE_BENEATH, one component at a time: every step opens a
// name relative to a folder descriptor already held, without following links; a link is read
// and its target walked the same way, and ".." can climb no higher than the root. An absolute
// link target or a climb above the root fails the whole lookup.
int walk_beneath(const plat_root* root, const char* rel) {
  const int root_fd = root->fd;
  std::vector<std::string> parts;  // a stack: the next component at the back
  push_front_parts(rel, parts);
  std::vector<fd_owner> held;  // folders entered below the root, innermost last
  int links = 0;
  auto current = [&] { return held.empty() ? root_fd : held.back().fd; };
  while (!parts.empty()) {
    std::string part = std::move(parts.back());
    parts.pop_back();
    if (part.empty() || part == ".") {
      if (parts.empty()) break;
      continue;
    }
    if (part == "..") {
      if (held.empty()) return -1;  // above the root
      held.pop_back();
      continue;
    }
    const bool last = parts.empty();
    struct stat st;
    if (::fstatat(current(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (S_ISLNK(st.st_mode)) {
      std::string target;
      if (++links > kMaxLinks || !read_link_at(current(), part, target)) return -1;
      if (target.empty()) return -1;
      if (target.front() == '/') {
        // Absolute links are common inside media folders ("ln -s /srv/media/x"). One that
        // names the root's own path goes on from the held root descriptor, so it can reach
        // nothing but what lies beneath it; any other leads out.
        std::string_view t(target);
        std::string_view base(root->path);
        if (t.substr(0, base.size()) != base ||
            (t.size() > base.size() && t[base.size()] != '/' && base != "/")) {
          return -1;
        }
        held.clear();
        t.remove_prefix(base == "/" ? 1 : base.size());
        push_front_parts(t, parts);
        continue;
      }
      push_front_parts(target, parts);
      continue;
    }
    const int flags = last ? kTargetFlags : O_PATH | O_DIRECTORY | O_CLOEXEC;
    int fd = ::openat(current(), part.c_str(), flags | O_NOFOLLOW);
    if (fd < 0) {
      // Replaced by a link since it was examined: walk it as a link.
      if (::fstatat(current(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
          !S_ISLNK(st.st_mode) || ++links > kMaxLinks) {
        return -1;
      }
      parts.push_back(std::move(part));
      continue;
    }
    if (last) return fd;
    held.emplace_back(fd);
  }
  // The walk ended on a folder it already holds (REL was empty, or ended in "." or ".."):
  // open it for reading, relative to itself.
  return ::openat(current(), ".", kTargetFlags);
}

// The descriptor of REL beneath ROOT, by openat2 where the kernel has it, else by the walk.
int open_beneath_fd(const plat_root* root, const char* rel, bool use_walk) {
  if (!use_walk && g_have_openat2.load(std::memory_order_relaxed)) {
    int fd = open_with_openat2(root->fd, rel);
    if (fd >= 0) return fd;
    // EXDEV: a step would leave the root, or a link is written as an absolute path; the walk
    // follows those that name the root's own path and refuses the rest.
    if (errno != ENOSYS && errno != EPERM && errno != EAGAIN && errno != EXDEV) return -1;
    // EPERM: a seccomp filter that refuses system calls it does not know.
    if (errno == ENOSYS || errno == EPERM) g_have_openat2.store(false, std::memory_order_relaxed);
  }
  try {
    return walk_beneath(root, rel);
  } catch (...) {  // only allocation throws here; the target counts as not found
    return -1;
  }
}

int open_beneath(const plat_root* root, const char* rel, bool use_walk, plat_opened* out) {
  *out = plat_opened{};
  if (root == nullptr || rel == nullptr) return -1;
  fd_owner fd(open_beneath_fd(root, rel, use_walk));
  if (fd.fd < 0) return -1;
  struct stat st;
  if (::fstat(fd.fd, &st) != 0) return -1;
  fill_native_stat(st, false, &out->st);
  if (S_ISDIR(st.st_mode)) {
    out->dir = adopt_dir_fd(fd.release());
    return out->dir != nullptr ? 0 : -1;
  }
  // Only regular files are served: a FIFO or a device could hold the worker or act on open.
  if (!S_ISREG(st.st_mode)) return -1;
  out->file = new (std::nothrow) plat_file{fd.fd};
  if (out->file == nullptr) return -1;
  fd.release();
  return 0;
}

}  // namespace

plat_root* plat_root_open(const char* path) {
  if (path == nullptr || path[0] == '\0') return nullptr;
  int fd = ::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  try {
    std::string text(path);
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return new plat_root{fd, std::move(text)};
  } catch (...) {  // only allocation throws here
    ::close(fd);
    return nullptr;
  }
}

void plat_root_close(plat_root* root) {
  if (root == nullptr) return;
  ::close(root->fd);
  delete root;
}

int plat_open_beneath(const plat_root* root, const char* rel, plat_opened* out) {
  return open_beneath(root, rel, false, out);
}

int plat_open_beneath_walked(const plat_root* root, const char* rel, plat_opened* out) {
  return open_beneath(root, rel, true, out);
}
