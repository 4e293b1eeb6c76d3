// notify.cpp: folder change notifications on Linux, from inotify. A watch is per folder, so a
// report names the folder and not the entry: whoever listens drops what it knew of the whole
// folder, which is cheap next to parsing names.
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "plat/plat.h"

struct plat_notify {
  int fd;
};

// The poller's layout is its own file's business; only its epoll descriptor is needed here.
int plat_poller_epoll_fd(plat_poller* p);

plat_notify* plat_notify_open() {
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return nullptr;
  auto* n = new (std::nothrow) plat_notify{fd};
  if (n == nullptr) ::close(fd);
  return n;
}

void plat_notify_close(plat_notify* n) {
  if (n == nullptr) return;
  ::close(n->fd);
  delete n;
}

int plat_notify_add(plat_notify* n, const char* path) {
  // Whatever can make a file served from this folder another one, or no longer there. The
  // folder itself going away is reported as IN_IGNORED, which is read as a change too.
  constexpr uint32_t mask = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO |
                            IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
  if (n == nullptr) return -1;
  const int wd = ::inotify_add_watch(n->fd, path, mask);
  return wd >= 0 ? wd : -1;
}

void plat_notify_remove(plat_notify* n, int id) {
  if (n != nullptr && id >= 0) ::inotify_rm_watch(n->fd, id);
}

void plat_notify_drain(plat_notify* n, void (*fn)(void*, int), void* user) {
  if (n == nullptr) return;
  alignas(inotify_event) char buf[16384];
  for (;;) {
    const ssize_t got = ::read(n->fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
      fn(user, (e->mask & IN_Q_OVERFLOW) != 0 ? -1 : e->wd);
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
}

int plat_notify_check(plat_notify*, int) {
  return 0;
}

int plat_poller_watch_notify(plat_poller* p, plat_notify* n, void* key) {
  if (p == nullptr || n == nullptr) return -1;
  // Level-triggered and never one-shot: every worker that waits while reports are unread sees
  // them, before the requests that arrived after the change.
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.ptr = key;
  return ::epoll_ctl(plat_poller_epoll_fd(p), EPOLL_CTL_ADD, n->fd, &e) == 0 ? 0 : -1;
}
