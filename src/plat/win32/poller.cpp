// poller.cpp: many sockets watched at once on Windows, over WSAPoll. WSAPoll over the armed
// sockets is chosen over I/O completion ports because the server asks the same question on both
// systems (is this socket readable or writable now?) and completion ports answer a different one
// (has this transfer finished?), which would give Windows a second design of the whole
// connection path. WSAPoll's cost grows with the sockets it watches, which a media share's few
// hundred clients never make noticeable.
//
// WSAPoll cannot be shared the way an epoll set is, so the waiting threads take turns: one polls,
// the others wait for its findings; every socket it finds is disarmed and queued, and each waiting
// thread takes reports from that queue before anyone polls again. Arming from another thread
// wakes the poll, so the socket joins the next one.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
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

struct hit {
  uint64_t seq;
  SOCKET s;
  plat_ready ready;
};

}  // namespace

struct plat_poller {
  std::mutex lock;
  std::condition_variable turn;  // reports were queued, or the polling thread is done
  std::unordered_map<SOCKET, watched> table;
  std::deque<hit> reports;  // found and disarmed, not yet taken
  bool polling = false;     // a thread is inside WSAPoll
  bool woken = false;       // every wait ends at once from now on
  // A UDP socket connected to itself: a byte sent to it ends a WSAPoll early.
  SOCKET wake = INVALID_SOCKET;
  uint64_t next_seq = 0;
  std::vector<WSAPOLLFD> fds;  // the polling thread's own
  std::vector<hit> found;      // likewise
};

namespace {

void kick(plat_poller* p) {
  const char one = 1;
  send(p->wake, &one, 1, 0);  // a full buffer already ends the poll
}

// Hands out up to MAX queued reports; caller holds the lock.
int take_reports(plat_poller* p, plat_ready* out, int max) {
  int count = 0;
  while (count < max && !p->reports.empty()) {
    out[count++] = p->reports.front().ready;
    p->reports.pop_front();
  }
  if (!p->reports.empty()) p->turn.notify_one();
  return count;
}

// One WSAPoll over the armed sockets, up to TIMEOUT_MS; what it finds is disarmed and queued,
// oldest armed first. Called with the lock held and p->polling set; returns with both again.
// False on failure.
bool poll_once(plat_poller* p, std::unique_lock<std::mutex>& hold, int timeout_ms) {
  p->fds.clear();
  p->fds.push_back(WSAPOLLFD{p->wake, POLLRDNORM, 0});
  for (const auto& [s, w] : p->table) {
    if (w.armed) p->fds.push_back(WSAPOLLFD{s, w.events, 0});
  }
  hold.unlock();
  const int r = WSAPoll(p->fds.data(), static_cast<ULONG>(p->fds.size()), timeout_ms);
  const int err = r < 0 ? WSAGetLastError() : 0;
  if (r > 0 && p->fds[0].revents != 0) {
    char drained[64];
    while (recv(p->wake, drained, sizeof drained, 0) > 0) {
    }
  }
  hold.lock();
  // A socket closed meanwhile may fail the whole call: the next poll no longer holds it.
  if (r <= 0) return r == 0 || err == WSAENOTSOCK;
  // WSAPoll reports in the order of its array, which follows the table's hashing; reporting
  // the longest-armed first keeps the server fair, as epoll's ready list is.
  p->found.clear();
  for (size_t i = 1; i < p->fds.size(); ++i) {
    const WSAPOLLFD& f = p->fds[i];
    if (f.revents == 0 || (f.revents & POLLNVAL) != 0) continue;
    auto it = p->table.find(f.fd);
    // Forgotten, or armed again for something else, while the poll ran.
    if (it == p->table.end() || !it->second.armed) continue;
    int mask = 0;
    if (f.revents & (POLLRDNORM | POLLERR | POLLHUP)) mask |= 1;
    if (f.revents & (POLLWRNORM | POLLERR | POLLHUP)) mask |= 2;
    const int wanted =
        (it->second.events & POLLRDNORM ? 1 : 0) | (it->second.events & POLLWRNORM ? 2 : 0);
    if ((mask & wanted) == 0) continue;
    it->second.armed = false;  // one-shot: reported once until armed again
    p->found.push_back(hit{it->second.seq, f.fd, plat_ready{it->second.key, mask}});
  }
  std::sort(p->found.begin(), p->found.end(),
            [](const hit& a, const hit& b) { return a.seq < b.seq; });
  p->reports.insert(p->reports.end(), p->found.begin(), p->found.end());
  return true;
}

}  // namespace

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
    bool polling = false;
    {
      std::lock_guard<std::mutex> hold(p->lock);
      p->table[sock_of(s)] = watched{want, key, true, p->next_seq++};
      polling = p->polling;
    }
    if (polling) kick(p);
    return 0;
  } catch (...) {
    return -1;
  }
}

void plat_poller_forget(plat_poller* p, plat_sock s) {
  std::lock_guard<std::mutex> hold(p->lock);
  p->table.erase(sock_of(s));
  std::erase_if(p->reports, [&](const hit& h) { return h.s == sock_of(s); });
}

void plat_poller_expire(plat_poller* p, plat_sock s) {
  try {
    std::lock_guard<std::mutex> hold(p->lock);
    auto it = p->table.find(sock_of(s));
    if (it == p->table.end() || !it->second.armed) return;  // its report is already on its way
    it->second.armed = false;
    p->reports.push_back(hit{it->second.seq, it->first, plat_ready{it->second.key, 3}});
    p->turn.notify_one();
  } catch (...) {
    // Out of memory: the connection is closed when its client next moves, or at the stop.
  }
  // The polling thread queues what it finds next behind this report, and a waiting thread
  // takes it at once; a poll in progress is ended so that a thread is free to.
  kick(p);
}

int plat_poller_wait(plat_poller* p, plat_ready* out, int max, int timeout_ms) {
  using clock = std::chrono::steady_clock;
  try {
    const bool forever = timeout_ms < 0;
    const clock::time_point deadline =
        clock::now() + std::chrono::milliseconds(forever ? 0 : timeout_ms);
    std::unique_lock<std::mutex> hold(p->lock);
    for (;;) {
      if (p->woken) return 0;
      if (!p->reports.empty()) return take_reports(p, out, max);
      int left = -1;
      if (!forever) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (ms <= 0) return 0;
        left = static_cast<int>(ms);
      }
      if (p->polling) {
        if (forever) {
          p->turn.wait(hold);
        } else {
          p->turn.wait_until(hold, deadline);
        }
        continue;
      }
      p->polling = true;
      bool ok = false;
      try {
        ok = poll_once(p, hold, left);  // the lock is held again whenever it returns or throws
      } catch (...) {
      }
      p->polling = false;
      p->turn.notify_all();  // another thread may poll next, or take what was found
      if (!ok) return -1;
    }
  } catch (...) {
    return -1;
  }
}

void plat_poller_wake(plat_poller* p) {
  {
    std::lock_guard<std::mutex> hold(p->lock);
    p->woken = true;
  }
  p->turn.notify_all();
  kick(p);
}

int plat_open_files_limit() {
  // Winsock sets no per-process limit of its own; this keeps one WSAPoll call within reason.
  return 16384;
}
