// poller.cpp: the readiness loop's view of many sockets on Windows, over WSAPoll. WSAPoll over
// the armed sockets is chosen over I/O completion ports because the loop asks the same question
// on both systems (is this socket readable or writable now?) and completion ports answer a
// different one (has this transfer finished?), which would give Windows a second design of the
// whole connection path. WSAPoll's cost grows with the sockets it watches, which a media share's
// few hundred clients never make noticeable. Arming from another thread wakes the wait, so the
// socket joins the next one.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "plat/plat.h"

namespace {

struct watched {
  short events;  // POLLRDNORM / POLLWRNORM
  void* key;
  bool armed;
  uint64_t seq;  // when it was armed: ready sockets are reported oldest first
};

SOCKET sock_of(plat_sock s) {
  return static_cast<SOCKET>(s);
}

}  // namespace

struct plat_poller {
  std::mutex lock;
  std::unordered_map<SOCKET, watched> table;
  // A UDP socket connected to itself: a byte sent to it ends a WSAPoll early.
  SOCKET wake = INVALID_SOCKET;
  uint64_t next_seq = 0;
  std::vector<WSAPOLLFD> fds;  // the waiting thread's own
  struct hit {
    uint64_t seq;
    SOCKET s;
    plat_ready ready;
  };
  std::vector<hit> found;
};

plat_poller* plat_poller_open() {
  if (plat_net_init() != 0) return nullptr;
  auto* p = new (std::nothrow) plat_poller;
  if (p == nullptr) return nullptr;
  p->wake = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof a;
  u_long on = 1;
  if (p->wake == INVALID_SOCKET || bind(p->wake, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(p->wake, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
      connect(p->wake, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ioctlsocket(p->wake, FIONBIO, &on) != 0) {
    if (p->wake != INVALID_SOCKET) closesocket(p->wake);
    delete p;
    return nullptr;
  }
  SetHandleInformation(reinterpret_cast<HANDLE>(p->wake), HANDLE_FLAG_INHERIT, 0);
  return p;
}

void plat_poller_close(plat_poller* p) {
  if (p == nullptr) return;
  closesocket(p->wake);
  delete p;
}

int plat_poller_arm(plat_poller* p, plat_sock s, int events, void* key) {
  try {
    short want = 0;
    if (events & 1) want |= POLLRDNORM;
    if (events & 2) want |= POLLWRNORM;
    {
      std::lock_guard<std::mutex> hold(p->lock);
      p->table[sock_of(s)] = watched{want, key, true, p->next_seq++};
    }
    plat_poller_wake(p);
    return 0;
  } catch (...) {
    return -1;
  }
}

void plat_poller_forget(plat_poller* p, plat_sock s) {
  std::lock_guard<std::mutex> hold(p->lock);
  p->table.erase(sock_of(s));
}

int plat_poller_wait(plat_poller* p, plat_ready* out, int max, int timeout_ms) {
  try {
    p->fds.clear();
    p->fds.push_back(WSAPOLLFD{p->wake, POLLRDNORM, 0});
    {
      std::lock_guard<std::mutex> hold(p->lock);
      for (const auto& [s, w] : p->table) {
        if (w.armed) p->fds.push_back(WSAPOLLFD{s, w.events, 0});
      }
    }
    const int r =
        WSAPoll(p->fds.data(), static_cast<ULONG>(p->fds.size()), timeout_ms < 0 ? -1 : timeout_ms);
    // A socket closed meanwhile may fail the whole call: the next wait no longer holds it.
    if (r <= 0) return r == 0 || WSAGetLastError() == WSAENOTSOCK ? 0 : -1;
    if (p->fds[0].revents != 0) {
      char drained[64];
      while (recv(p->wake, drained, sizeof drained, 0) > 0) {
      }
    }
    // WSAPoll reports in the order of its array, which follows the table's hashing; reporting
    // the longest-armed first keeps the loop fair, as epoll's ready list is.
    p->found.clear();
    std::lock_guard<std::mutex> hold(p->lock);
    for (size_t i = 1; i < p->fds.size(); ++i) {
      const WSAPOLLFD& f = p->fds[i];
      if (f.revents == 0 || (f.revents & POLLNVAL) != 0) continue;
      auto it = p->table.find(f.fd);
      // Forgotten, or armed again for something else, while the wait ran.
      if (it == p->table.end() || !it->second.armed) continue;
      int mask = 0;
      if (f.revents & (POLLRDNORM | POLLERR | POLLHUP)) mask |= 1;
      if (f.revents & (POLLWRNORM | POLLERR | POLLHUP)) mask |= 2;
      if ((mask & ((it->second.events & POLLRDNORM ? 1 : 0) |
                   (it->second.events & POLLWRNORM ? 2 : 0))) == 0) {
        continue;
      }
      p->found.push_back(plat_poller::hit{it->second.seq, f.fd, plat_ready{it->second.key, mask}});
    }
    std::sort(p->found.begin(), p->found.end(),
              [](const plat_poller::hit& a, const plat_poller::hit& b) { return a.seq < b.seq; });
    int count = 0;
    for (const plat_poller::hit& h : p->found) {
      if (count == max) break;      // the others stay armed and come with the next wait
      p->table[h.s].armed = false;  // one-shot: reported once until armed again
      out[count++] = h.ready;
    }
    return count;
  } catch (...) {
    return -1;
  }
}

void plat_poller_wake(plat_poller* p) {
  const char one = 1;
  send(p->wake, &one, 1, 0);  // a full buffer already wakes the wait
}

int plat_open_files_limit() {
  // Winsock sets no per-process limit of its own; this keeps one WSAPoll call within reason.
  return 16384;
}
