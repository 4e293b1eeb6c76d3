// fs.cpp: the POSIX file half of the platform layer: metadata, path resolution with links
// followed, folder enumeration and positioned reads. It answers what a path is and whether it
// lies under another; what a request may see is decided above it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "plat/plat.h"
#include "plat/posix/file_handle.h"

namespace {
class read_ahead;
}

struct plat_dir {
  DIR* dir;
  std::unique_ptr<read_ahead> ahead;  // plat_readdir_stat's entries, read and examined in batches
};

namespace {

// The kernel's own limit on links followed in one lookup; beyond it a path counts as a loop.
constexpr int kMaxLinks = 40;

// The current folder, however long; "" when it cannot be read.
std::string current_folder() {
  std::string buf(256, '\0');
  for (;;) {
    if (::getcwd(buf.data(), buf.size()) != nullptr) {
      buf.resize(std::strlen(buf.c_str()));
      return buf;
    }
    if (errno != ERANGE) return {};
    buf.resize(buf.size() * 2);
  }
}

// The target text of the link at PATH; false when it cannot be read.
bool read_link(const std::string& path, std::string& out) {
  std::string buf(256, '\0');
  for (;;) {
    ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0) return false;
    // A full buffer may mean a cut-off target: grow and read again.
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      out = std::move(buf);
      return true;
    }
    buf.resize(buf.size() * 2);
  }
}

// Drops the last component of an absolute path; "/" stays "/".
void pop_component(std::string& out) {
  size_t slash = out.rfind('/');
  out.resize(slash == 0 ? 1 : slash);
}

// Walks PATH one component at a time, the way the kernel would, but without failing on the part
// that does not exist: every prefix that is a link is replaced by its target, so a ".." after a
// link climbs out of the target, and a missing component is kept as text. Containment is then
// decided on where the path really leads.
// LAST, when given, receives the lstat of the resolved path itself when the walk's final step
// examined it (a component that is no link); *HAVE_LAST says whether it did.
// OUT holds the resolved start of the walk ("/" for a whole path) and REST what is left to walk.
bool walk(std::string rest, std::string& out, struct stat* last, bool* have_last) {
  int links = 0;
  size_t pos = 0;
  bool examined = false;
  struct stat st;
  while (pos < rest.size()) {
    size_t end = rest.find('/', pos);
    if (end == std::string::npos) end = rest.size();
    std::string_view part(rest.data() + pos, end - pos);
    pos = end + 1;
    if (part.empty() || part == ".") continue;
    examined = false;
    if (part == "..") {
      pop_component(out);
      continue;
    }
    size_t kept = out.size();
    if (out.back() != '/') out += '/';
    out += part;
    // A prefix that cannot be examined is missing or unreadable; the stat that callers run on the
    // result reports it, so the walk keeps it as text.
    if (::lstat(out.c_str(), &st) != 0) continue;
    if (!S_ISLNK(st.st_mode)) {
      examined = true;
      continue;
    }
    if (++links > kMaxLinks) return false;
    std::string target;
    if (!read_link(out, target)) return false;
    if (target.empty()) return false;
    out.resize(kept);
    if (target.front() == '/') out.assign(1, '/');
    if (pos < rest.size()) target.append("/").append(rest, pos, std::string::npos);
    rest = std::move(target);
    pos = 0;
  }
  if (last != nullptr && examined) *last = st;
  if (have_last != nullptr) *have_last = examined;
  return true;
}

bool resolve(std::string_view path, std::string& out, struct stat* last = nullptr,
             bool* have_last = nullptr) {
  std::string rest;
  if (path.front() != '/') {
    rest = current_folder();
    if (rest.empty()) return false;
    rest += '/';
  }
  rest += path;
  out.assign(1, '/');
  return walk(std::move(rest), out, last, have_last);
}

}  // namespace

void fill_native_stat(const struct stat& st, bool is_link, plat_stat_rec* out) {
  bool is_dir = S_ISDIR(st.st_mode);
  out->is_dir = is_dir ? 1 : 0;
  out->is_file = S_ISREG(st.st_mode) ? 1 : 0;
  out->is_link = is_link ? 1 : 0;
  // A folder's st_size is file-system bookkeeping, not content; callers see folders as size 0.
  out->size = is_dir ? 0 : static_cast<int64_t>(st.st_size);
  out->mtime = static_cast<int64_t>(st.st_mtim.tv_sec);
  out->mtime_ns = static_cast<int32_t>(st.st_mtim.tv_nsec);
}

plat_dir* adopt_dir_fd(int fd) {
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    ::close(fd);
    return nullptr;
  }
  auto* h = new (std::nothrow) plat_dir{d, nullptr};
  if (h == nullptr) ::closedir(d);
  return h;
}

namespace {

void fill_stat(const struct stat& st, bool is_link, plat_stat_rec* out) {
  fill_native_stat(st, is_link, out);
}

// plat_realpath_stat's record for RESOLVED, from what the walk learnt about its last step.
void stat_resolved(const std::string& resolved, const struct stat& last, bool have_last,
                   plat_stat_rec* out) {
  // The walk replaced every link, so the result is no link and its lstat is its stat.
  if (have_last) {
    fill_stat(last, false, out);
  } else {
    plat_stat(resolved.c_str(), out, 0);
  }
}

}  // namespace

int plat_stat(const char* path, plat_stat_rec* out, int /*flag*/) {
  *out = plat_stat_rec{};
  struct stat st;
  if (path == nullptr || ::stat(path, &st) != 0) return -1;
  struct stat lst;
  fill_stat(st, ::lstat(path, &lst) == 0 && S_ISLNK(lst.st_mode), out);
  return 0;
}

char* plat_realpath(const char* path) {
  if (path == nullptr || *path == '\0') return nullptr;
  try {
    std::string out;
    if (!resolve(path, out)) return nullptr;
    return ::strdup(out.c_str());
  } catch (...) {  // only allocation throws here; the caller sees it as an unresolvable path
    return nullptr;
  }
}

char* plat_realpath_stat(const char* path, plat_stat_rec* out) {
  *out = plat_stat_rec{};
  if (path == nullptr || *path == '\0') return nullptr;
  try {
    std::string resolved;
    struct stat last;
    bool have_last = false;
    if (!resolve(path, resolved, &last, &have_last)) return nullptr;
    stat_resolved(resolved, last, have_last, out);
    return ::strdup(resolved.c_str());
  } catch (...) {  // only allocation throws here; the caller sees it as an unresolvable path
    return nullptr;
  }
}

char* plat_realpath_stat_under(const char* root_resolved, const char* rel, plat_stat_rec* out) {
  *out = plat_stat_rec{};
  if (root_resolved == nullptr || root_resolved[0] != '/' || rel == nullptr) return nullptr;
  try {
    // The walk starts at the root as if it had just climbed down to it: a resolved root is
    // absolute, holds no "." or ".." and no links, so each of its prefixes would be kept as is.
    std::string resolved(root_resolved);
    struct stat last;
    bool have_last = false;
    if (!walk(rel, resolved, &last, &have_last)) return nullptr;
    stat_resolved(resolved, last, have_last, out);
    return ::strdup(resolved.c_str());
  } catch (...) {  // only allocation throws here; the caller sees it as an unresolvable path
    return nullptr;
  }
}

int plat_path_under(const char* path, const char* root) {
  size_t n = std::strlen(root);
  if (n == 0) return 0;
  // strncmp stops at PATH's terminator, so a shorter path differs there.
  if (std::strncmp(path, root, n) != 0) return 0;
  // Only '/' separates names here: a backslash is an ordinary name byte on POSIX, so
  // "/srv/media\\x" is a sibling of "/srv/media", not inside it.
  char next = path[n];
  if (next == '\0' || next == '/') return 1;
  return root[n - 1] == '/' ? 1 : 0;
}

namespace {

// plat_stat_at on the folder descriptor FD.
int stat_entry(int fd, const char* name, plat_stat_rec* out) {
  *out = plat_stat_rec{};
  // One lookup relative to the open folder answers a plain entry; only a link needs a second,
  // for the kind, size and time of its target (as plat_stat reports them).
  struct stat st;
  if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  if (!S_ISLNK(st.st_mode)) {
    fill_stat(st, false, out);
    return 0;
  }
  struct stat target;
  if (::fstatat(fd, name, &target, 0) != 0) return -1;
  fill_stat(target, true, out);
  return 0;
}

bool dot_or_dotdot(const char* n) {
  return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'));
}

// A listing of a large folder spends most of its time in one lookup per entry. Entries are
// therefore read in batches and looked up by the caller and one helper thread together, each
// taking the next entry not yet taken; the helper starts with the first full batch, so a small
// folder costs no thread.
class read_ahead {
 public:
  read_ahead() = default;
  read_ahead(const read_ahead&) = delete;
  read_ahead& operator=(const read_ahead&) = delete;
  ~read_ahead() {
    if (!helper_started_) return;
    {
      std::lock_guard<std::mutex> hold(lock_);
      closing_ = true;
    }
    work_.notify_one();
    plat_thread_join(helper_);
  }

  // The next entry and its record; null at the end.
  const char* next(DIR* d, plat_stat_rec* out) {
    if (taken_ == count_ && !fill(d)) return nullptr;
    *out = recs_[static_cast<size_t>(taken_)];
    return text_.data() + starts_[static_cast<size_t>(taken_++)];
  }

  void reset() { taken_ = count_ = 0; }

 private:
  static constexpr int BATCH = 2048;
  // Below this many entries in a batch, waking the helper costs more than it saves.
  static constexpr int SHARED_FROM = 256;

  // Reads the next batch and looks up each entry; false when the folder is done.
  bool fill(DIR* d) {
    reset();
    text_.clear();
    starts_.clear();
    try {
      while (count_ < BATCH) {
        const dirent* e = ::readdir(d);
        if (e == nullptr) break;
        if (dot_or_dotdot(e->d_name)) continue;
        starts_.push_back(text_.size());
        text_.insert(text_.end(), e->d_name, e->d_name + std::strlen(e->d_name) + 1);
        ++count_;
      }
      recs_.resize(static_cast<size_t>(count_));
    } catch (...) {
      // Out of memory ends the enumeration, as a failing readdir does.
      reset();
      return false;
    }
    if (count_ == 0) return false;
    fd_ = ::dirfd(d);
    next_.store(0, std::memory_order_relaxed);
    const bool shared = count_ >= SHARED_FROM && start_helper();
    if (shared) {
      std::lock_guard<std::mutex> hold(lock_);
      ++round_;
    }
    if (shared) work_.notify_one();
    examine();
    if (shared) {
      std::unique_lock<std::mutex> hold(lock_);
      done_.wait(hold, [&] { return helper_round_ == round_; });
    }
    return true;
  }

  // Looks up entries until none is left untaken.
  void examine() {
    for (;;) {
      const int i = next_.fetch_add(1, std::memory_order_relaxed);
      if (i >= count_) return;
      stat_entry(fd_, text_.data() + starts_[static_cast<size_t>(i)],
                 &recs_[static_cast<size_t>(i)]);
    }
  }

  bool start_helper() {
    if (!helper_started_) {
      helper_started_ = plat_thread_start(&helper_, helper_main, this) == 0;
    }
    return helper_started_;
  }

  static void helper_main(void* arg) {
    auto* self = static_cast<read_ahead*>(arg);
    std::unique_lock<std::mutex> hold(self->lock_);
    for (;;) {
      self->work_.wait(hold, [&] { return self->closing_ || self->helper_round_ != self->round_; });
      if (self->closing_) return;
      hold.unlock();
      self->examine();
      hold.lock();
      self->helper_round_ = self->round_;
      self->done_.notify_one();
    }
  }

  std::vector<char> text_;      // the batch's names, each ended by a zero byte
  std::vector<size_t> starts_;  // where each name begins in text_
  std::vector<plat_stat_rec> recs_;
  int count_ = 0;
  int taken_ = 0;
  int fd_ = -1;
  std::atomic<int> next_{0};  // the next entry to look up, shared by both threads
  std::mutex lock_;
  std::condition_variable work_;  // a batch is waiting, or the reading ends
  std::condition_variable done_;  // the helper finished its part of a batch
  uint64_t round_ = 0;            // batches handed to the helper
  uint64_t helper_round_ = 0;     // batches it finished
  bool closing_ = false;
  bool helper_started_ = false;
  plat_thread helper_ = nullptr;
};

}  // namespace

plat_dir* plat_opendir(const char* path) {
  // A backslash is an ordinary name byte here: "media\" is another folder than "media".
  std::string folder(path == nullptr ? "" : path);
  if (folder.empty()) folder.assign(1, '.');
  DIR* d = ::opendir(folder.c_str());  // glibc opens with O_CLOEXEC and O_DIRECTORY
  if (d == nullptr) return nullptr;
  auto* h = new (std::nothrow) plat_dir{d, nullptr};
  if (h == nullptr) ::closedir(d);
  return h;
}

const char* plat_readdir(plat_dir* dir) {
  for (;;) {
    const dirent* e = ::readdir(dir->dir);
    if (e == nullptr) return nullptr;
    const char* n = e->d_name;
    if (dot_or_dotdot(n)) continue;
    return n;  // d_name stays valid until the next readdir or closedir on this stream
  }
}

int plat_stat_at(plat_dir* dir, const char* name, plat_stat_rec* out) {
  return stat_entry(::dirfd(dir->dir), name, out);
}

const char* plat_readdir_stat(plat_dir* dir, plat_stat_rec* out) {
  *out = plat_stat_rec{};
  if (!dir->ahead) {
    dir->ahead.reset(new (std::nothrow) read_ahead);
    if (!dir->ahead) return nullptr;
  }
  return dir->ahead->next(dir->dir, out);
}

const char* plat_readdir_kind(plat_dir* dir, int* out_kind) {
  for (;;) {
    const dirent* e = ::readdir(dir->dir);
    if (e == nullptr) return nullptr;
    const char* n = e->d_name;
    if (dot_or_dotdot(n)) continue;
    // Some file systems do not fill d_type; DT_UNKNOWN then sends the caller to plat_stat_at.
    switch (e->d_type) {
      case DT_UNKNOWN:
        *out_kind = PLAT_KIND_UNKNOWN;
        break;
      case DT_DIR:
        *out_kind = PLAT_KIND_DIR;
        break;
      case DT_LNK:
        *out_kind = PLAT_KIND_LINK;
        break;
      case DT_FIFO:
      case DT_SOCK:
      case DT_CHR:
      case DT_BLK:
        *out_kind = PLAT_KIND_SPECIAL;
        break;
      default:
        *out_kind = PLAT_KIND_OTHER;
        break;
    }
    return n;
  }
}

void plat_rewinddir(plat_dir* dir) {
  ::rewinddir(dir->dir);
  if (dir->ahead) dir->ahead->reset();
}

int plat_name_reserved(const char*) {
  return 0;
}

void plat_closedir(plat_dir* dir) {
  if (dir == nullptr) return;
  ::closedir(dir->dir);
  delete dir;
}

plat_file* plat_fopen_read(const char* path) {
  // O_NONBLOCK keeps the open itself from waiting on a FIFO with no writer; anything that is not
  // a regular file is then refused, so a worker never blocks on a FIFO, socket or device.
  int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  // O_NONBLOCK stays set: Linux ignores it for regular-file reads and for sendfile from the
  // file, so clearing it would cost two calls per request for nothing.
  auto* f = new (std::nothrow) plat_file{fd};
  if (f == nullptr) ::close(fd);
  return f;
}

int64_t plat_fread_at(plat_file* f, uint64_t offset, void* buf, uint32_t n) {
  // An offset beyond what off_t can hold lies past the end of any file.
  if (offset > static_cast<uint64_t>(INT64_MAX)) return 0;
  for (;;) {
    ssize_t got = ::pread(f->fd, buf, n, static_cast<off_t>(offset));
    if (got >= 0) return got;
    if (errno != EINTR) return -1;
  }
}

void plat_fclose(plat_file* f) {
  if (f == nullptr) return;
  ::close(f->fd);
  delete f;
}

int plat_fstat(plat_file* f, plat_stat_rec* out) {
  *out = plat_stat_rec{};
  struct stat st;
  if (f == nullptr || ::fstat(f->fd, &st) != 0) return -1;
  fill_native_stat(st, false, out);
  return 0;
}

void plat_opened_close(plat_opened* out) {
  plat_fclose(out->file);
  plat_closedir(out->dir);
  *out = plat_opened{};
}

int plat_open_file_blocks_changes() {
  return 0;
}
