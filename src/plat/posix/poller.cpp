// poller.cpp: many sockets watched at once on Linux: epoll with one-shot registrations, which
// the kernel hands to one waiting thread each, and an eventfd that ends every wait at a stop.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <new>

#include "plat/plat.h"

struct plat_poller {
  int ep;
  int wake_fd;
};

namespace {

uint32_t epoll_events(int events) {
  uint32_t e = EPOLLONESHOT;
  // A peer that shut its sending side ends the wait for its next request; while waiting for
  // room it would be reported again at every arming, so only errors and hang-ups count then.
  if (events & 1) e |= EPOLLIN | EPOLLRDHUP;
  if (events & 2) e |= EPOLLOUT;
  return e;
}

}  // namespace

plat_poller* plat_poller_open() {
  int ep = ::epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) return nullptr;
  int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  auto* p = wake >= 0 ? new (std::nothrow) plat_poller{ep, wake} : nullptr;
  epoll_event e{};
  e.events = EPOLLIN;  // level-triggered and never drained: once woken, every wait ends
  e.data.ptr = p;
  if (p == nullptr || ::epoll_ctl(ep, EPOLL_CTL_ADD, wake, &e) != 0) {
    if (wake >= 0) ::close(wake);
    ::close(ep);
    delete p;
    return nullptr;
  }
  return p;
}

void plat_poller_close(plat_poller* p) {
  if (p == nullptr) return;
  ::close(p->wake_fd);
  ::close(p->ep);
  delete p;
}

int plat_poller_arm(plat_poller* p, plat_sock s, int events, void* key) {
  epoll_event e{};
  e.events = epoll_events(events);
  e.data.ptr = key;
  const int fd = static_cast<int>(s);
  // Re-arming is the common case; a socket never armed before is added.
  if (::epoll_ctl(p->ep, EPOLL_CTL_MOD, fd, &e) == 0) return 0;
  if (errno != ENOENT) return -1;
  return ::epoll_ctl(p->ep, EPOLL_CTL_ADD, fd, &e) == 0 ? 0 : -1;
}

void plat_poller_forget(plat_poller* p, plat_sock s) {
  ::epoll_ctl(p->ep, EPOLL_CTL_DEL, static_cast<int>(s), nullptr);
}

void plat_poller_expire(plat_poller*, plat_sock s) {
  // A socket shut both ways is a hang-up to epoll, reported whatever it was armed for.
  ::shutdown(static_cast<int>(s), SHUT_RDWR);
}

int plat_poller_wait(plat_poller* p, plat_ready* out, int max, int timeout_ms) {
  constexpr int kBatch = 256;
  epoll_event got[kBatch];
  const int n =
      ::epoll_wait(p->ep, got, max < kBatch ? max : kBatch, timeout_ms < 0 ? -1 : timeout_ms);
  if (n < 0) return errno == EINTR ? 0 : -1;
  int count = 0;
  for (int i = 0; i < n; ++i) {
    if (got[i].data.ptr == p) continue;
    int mask = 0;
    if (got[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP)) mask |= 1;
    if (got[i].events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) mask |= 2;
    out[count++] = plat_ready{got[i].data.ptr, mask};
  }
  return count;
}

void plat_poller_wake(plat_poller* p) {
  const uint64_t one = 1;
  // A full counter already wakes the wait; nothing is lost when this write fails.
  [[maybe_unused]] ssize_t n = ::write(p->wake_fd, &one, sizeof one);
}

int plat_open_files_limit() {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return INT_MAX;
  return r.rlim_cur > static_cast<rlim_t>(INT_MAX) ? INT_MAX : static_cast<int>(r.rlim_cur);
}

int plat_poller_epoll_fd(plat_poller* p) {
  return p->ep;
}
