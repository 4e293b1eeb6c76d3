// net.cpp: the POSIX socket calls of the server: creation and options, listening, accepting,
// one receive, one send, and the file-body send. Interrupted calls are retried here, and no send
// ever raises SIGPIPE; error numbers are handed up as errno values for the callers' messages.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>

#include "plat/plat.h"
#include "plat/posix/file_handle.h"
#include "plat/posix/thread_signals.h"

namespace {

// The server's file-read size: large enough to keep a send busy, small enough per worker.
constexpr size_t kChunkBytes = 262144;
// Linux transfers at most this much in one sendfile call.
constexpr uint64_t kMaxSendfileBytes = 0x7ffff000;
// Bodies up to this size go in one blocking sendfile call: it fits the send buffer of a peer that
// reads. Larger ones are sent without blocking inside the kernel (see send_file_watched).
constexpr uint64_t kBlockingBodyBytes = 65536;
// The most the kernel builds into one TCP segment before it is cut for the wire (GSO).
constexpr uint64_t kOneSegmentBytes = 65536;

int fd_of(plat_sock s) {
  return static_cast<int>(s);
}

// MSG_MORE holds a head back until the file bytes follow, so that a small file leaves in one
// segment even with TCP_NODELAY. Only when head and body fit one segment together: joined to a
// larger body, the head pushes the body's last bytes into a sliver of a segment of their own,
// which the kernel sends behind the full one at a cost far above the head's own packet. Measured
// on loopback with random 64 KiB ranges, the head held back: about 15% fewer answers per second,
// each costing half as much CPU again.
int head_flags(size_t head_len, uint64_t count) {
  return count > 0 && head_len + count <= kOneSegmentBytes ? MSG_MORE : 0;
}

uint64_t monotonic_ms() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// sendfile has no MSG_NOSIGNAL: a peer that closed early would raise SIGPIPE and end the process.
// While this guard lives, SIGPIPE is blocked for the calling thread; one raised meanwhile is
// taken off the pending set before the old mask comes back, unless one was pending already.
// On the layer's own threads SIGPIPE is blocked for good (thread.cpp): the guard then only takes
// a raised SIGPIPE off the pending set, which costs nothing unless a peer went away.
class sigpipe_guard {
 public:
  sigpipe_guard() {
    if (sigpipe_blocked_for_life()) {
      for_life_ = true;
      return;
    }
    sigset_t pipe_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_set, &old_) == 0;
  }
  ~sigpipe_guard() {
    if (for_life_) {
      if (raised_) take_pending_sigpipe();
      return;
    }
    if (!blocked_) return;
    if (raised_ && !was_pending_) take_pending_sigpipe();
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  void note_epipe() { raised_ = true; }
  sigpipe_guard(const sigpipe_guard&) = delete;
  sigpipe_guard& operator=(const sigpipe_guard&) = delete;

 private:
  static void take_pending_sigpipe() {
    sigset_t pipe_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    timespec zero{0, 0};
    int saved = errno;
    while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
    }
    errno = saved;
  }

  sigset_t old_;
  bool for_life_ = false;
  bool blocked_ = false;
  bool was_pending_ = false;
  bool raised_ = false;
};

// The stall bound of one answer. SO_SNDTIMEO limits a single blocking call only, and a peer that
// stopped reading still lets each call move a little (the kernel grows the send buffer, window
// probes get answered), so a loop of calls could hold a worker for minutes. A call that waited the
// whole send time-out and still came back short therefore ends the answer. The time-out is read
// back from the socket once, and only after a short call or for a large file body, which the
// small-answer path never sends.
class stall_watch {
 public:
  explicit stall_watch(plat_sock s) : s_(s) {}
  void start() { started_ = monotonic_ms(); }
  // After a call that sent fewer bytes than asked: true when it waited the time-out out.
  bool stalled() {
    const int64_t t = timeout_ms();
    return t > 0 && monotonic_ms() - started_ >= static_cast<uint64_t>(t);
  }
  // After a call found no room on a non-blocking socket: waits for room up to the send time-out;
  // false when none came.
  bool room() {
    const int64_t t = timeout_ms();
    return plat_poll1(s_, 2, t > 0 && t < INT32_MAX ? static_cast<int>(t) : -1) > 0;
  }
  int64_t timeout_ms() {  // the socket's send time-out, 0 for none
    if (timeout_ms_ < 0) timeout_ms_ = read_timeout_ms();
    return timeout_ms_;
  }

 private:
  int64_t read_timeout_ms() const {
    timeval tv{};
    socklen_t len = sizeof tv;
    if (::getsockopt(fd_of(s_), SOL_SOCKET, SO_SNDTIMEO, &tv, &len) != 0) return 0;
    return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
  }

  plat_sock s_;
  uint64_t started_ = 0;
  int64_t timeout_ms_ = -1;  // not read yet
};

bool is_again(int err) {
  return err == EAGAIN || err == EWOULDBLOCK;
}

// Sends all of BUF; false on the first failed send.
bool send_all(plat_sock s, const unsigned char* buf, size_t n) {
  while (n > 0) {
    int64_t sent = plat_send(s, buf, n);
    if (sent <= 0) return false;
    buf += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

// Positioned reads and sends through the thread's chunk buffer, for files sendfile refuses.
uint64_t send_by_copy(plat_sock s, plat_file* f, uint64_t offset, uint64_t count) {
  thread_local std::unique_ptr<unsigned char[]> t_chunk;
  if (!t_chunk) {
    t_chunk.reset(new (std::nothrow) unsigned char[kChunkBytes]);
    if (!t_chunk) return 0;
  }
  uint64_t done = 0;
  while (done < count) {
    uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(count - done, kChunkBytes));
    int64_t got = plat_fread_at(f, offset + done, t_chunk.get(), want);
    if (got <= 0) break;
    if (!send_all(s, t_chunk.get(), static_cast<size_t>(got))) break;
    done += static_cast<uint64_t>(got);
  }
  return done;
}

// plat_send_file_nb for files sendfile refuses: one read into the thread's buffer and one send
// that does not wait. Bytes that found no room are read again by the next call.
int64_t send_copy_nb(plat_sock s, plat_file* f, uint64_t offset, uint64_t count) {
  thread_local std::unique_ptr<unsigned char[]> t_chunk;
  if (!t_chunk) {
    t_chunk.reset(new (std::nothrow) unsigned char[kChunkBytes]);
    if (!t_chunk) return -1;
  }
  const int64_t got = plat_fread_at(f, offset, t_chunk.get(),
                                    static_cast<uint32_t>(std::min<uint64_t>(count, kChunkBytes)));
  if (got <= 0) return got;
  return plat_send_nb(s, t_chunk.get(), static_cast<size_t>(got), nullptr, 0);
}

// Restores the socket's blocking mode when a large body ends.
class nonblocking_while {
 public:
  explicit nonblocking_while(int fd) : fd_(fd), flags_(::fcntl(fd, F_GETFL)) {
    on_ =
        flags_ >= 0 && (flags_ & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, flags_ | O_NONBLOCK) == 0;
  }
  ~nonblocking_while() { restore(); }
  bool on() const { return on_; }
  void restore() {
    if (on_) ::fcntl(fd_, F_SETFL, flags_);
    on_ = false;
  }
  nonblocking_while(const nonblocking_while&) = delete;
  nonblocking_while& operator=(const nonblocking_while&) = delete;

 private:
  int fd_;
  int flags_;
  bool on_ = false;
};

// plat_send_file, with WATCH shared with a head sent before (one time-out read per answer).
// A blocking sendfile cannot bound a stalled reader: inside one call the kernel sends in
// pipe-sized steps, each with a fresh send time-out, and the window probes of a peer that stopped
// reading let each step trickle on (one call was seen blocking 91 s at a 30 s time-out). A large
// body is therefore sent on a non-blocking socket, waiting for room with poll; a wait that lasts
// the whole send time-out ends the body.
uint64_t send_file_watched(plat_sock s, plat_file* f, uint64_t offset, uint64_t count,
                           stall_watch* watch) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return 0;
  sigpipe_guard guard;
  std::unique_ptr<nonblocking_while> nonblocking;
  int wait_ms = -1;
  if (count > kBlockingBodyBytes) {
    nonblocking = std::make_unique<nonblocking_while>(fd_of(s));
    const int64_t t = watch->timeout_ms();
    wait_ms = t > 0 && t < INT32_MAX ? static_cast<int>(t) : -1;
  }
  uint64_t done = 0;
  bool first = true;
  while (done < count) {
    off_t at = static_cast<off_t>(offset + done);
    size_t want = static_cast<size_t>(std::min(count - done, kMaxSendfileBytes));
    ssize_t sent = ::sendfile(fd_of(s), f->fd, &at, want);
    if (sent > 0) {
      done += static_cast<uint64_t>(sent);
      first = false;
      // A short count on a non-blocking socket means its buffer is full: wait for room instead
      // of asking at once again, since a call that finds no room has still read the file's next
      // pages before failing (about one wasted call per wake-up otherwise).
      if (nonblocking && nonblocking->on() && static_cast<size_t>(sent) < want && done < count &&
          plat_poll1(s, 2, wait_ms) == 0) {
        break;
      }
      continue;
    }
    if (sent == 0) break;  // the file ended before COUNT
    if (errno == EINTR) continue;
    if (is_again(errno)) {
      // Error and hang-up wake the wait too; the next call then reports them.
      if (!watch->room()) break;
      continue;
    }
    if (errno == EPIPE) guard.note_epipe();
    // Some file systems cannot feed sendfile; they answer the very first call so.
    if (first && (errno == EINVAL || errno == ENOSYS)) {
      if (nonblocking) nonblocking->restore();
      return send_by_copy(s, f, offset, count);
    }
    break;
  }
  return done;
}

}  // namespace

int plat_net_init() {
  return 0;
}

void plat_sock_close(plat_sock s) {
  // No retry on EINTR: the descriptor is gone either way on Linux.
  if (s != PLAT_NO_SOCK) ::close(fd_of(s));
}

int plat_sock_errno() {
  return errno;
}

int plat_poll1(plat_sock s, int events, int timeout_ms) {
  pollfd p{};
  p.fd = fd_of(s);
  if (events & 1) p.events |= POLLIN;
  if (events & 2) p.events |= POLLOUT;
  uint64_t deadline = timeout_ms > 0 ? monotonic_ms() + static_cast<uint64_t>(timeout_ms) : 0;
  int wait_ms = timeout_ms;
  for (;;) {
    int r = ::poll(&p, 1, wait_ms);
    if (r > 0) break;
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
    if (timeout_ms > 0) {
      uint64_t now = monotonic_ms();
      if (now >= deadline) return 0;
      wait_ms = static_cast<int>(deadline - now);
    }
  }
  // POLLNVAL (not a socket) holds none of the conditions and counts like a time-out.
  int mask = 0;
  if (p.revents & (POLLIN | POLLERR | POLLHUP)) mask |= 1;
  if (p.revents & POLLOUT) mask |= 2;
  return mask;
}

plat_sock plat_tcp_socket() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return fd < 0 ? PLAT_NO_SOCK : fd;
}

int plat_sock_reuseaddr(plat_sock s) {
  int on = 1;
  return ::setsockopt(fd_of(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : -1;
}

int plat_sock_nodelay(plat_sock s) {
  int on = 1;
  return ::setsockopt(fd_of(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 ? 0 : -1;
}

namespace {

int set_timeout(plat_sock s, int option, int timeout_ms) {
  if (timeout_ms < 0) return -1;
  timeval tv{};
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = (timeout_ms % 1000) * 1000;
  return ::setsockopt(fd_of(s), SOL_SOCKET, option, &tv, sizeof tv) == 0 ? 0 : -1;
}

}  // namespace

int plat_sock_send_timeout(plat_sock s, int timeout_ms) {
  return set_timeout(s, SO_SNDTIMEO, timeout_ms);
}

int plat_sock_recv_timeout(plat_sock s, int timeout_ms) {
  return set_timeout(s, SO_RCVTIMEO, timeout_ms);
}

int plat_sock_bind_listen(plat_sock s, uint32_t ipv4, uint16_t port, int backlog) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(ipv4);
  a.sin_port = htons(port);
  if (::bind(fd_of(s), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return -1;
  return ::listen(fd_of(s), backlog) == 0 ? 0 : -1;
}

int plat_sock_local_port(plat_sock s) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(fd_of(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
  if (a.sin_family != AF_INET) return -1;
  return ntohs(a.sin_port);
}

int plat_sock_peer(plat_sock s, uint32_t* ipv4, int* port) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getpeername(fd_of(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
  if (a.sin_family != AF_INET) return -1;
  *ipv4 = ntohl(a.sin_addr.s_addr);
  *port = ntohs(a.sin_port);
  return 0;
}

plat_sock plat_sock_accept(plat_sock listener) {
  for (;;) {
    int fd = ::accept4(fd_of(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno != EINTR) return PLAT_NO_SOCK;
  }
}

int64_t plat_recv(plat_sock s, void* buf, size_t n) {
  for (;;) {
    ssize_t got = ::recv(fd_of(s), buf, n, 0);
    if (got >= 0) return got;
    if (errno != EINTR) return -1;
  }
}

int64_t plat_recv_wait(plat_sock s, void* buf, size_t n) {
  // SO_RCVTIMEO bounds the blocking call; a signal restarts the wait, as a poll loop would.
  for (;;) {
    ssize_t got = ::recv(fd_of(s), buf, n, 0);
    if (got >= 0) return got;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -2;
    if (errno != EINTR) return -1;
  }
}

int64_t plat_send(plat_sock s, const void* buf, size_t n) {
  stall_watch watch(s);
  for (;;) {
    watch.start();
    ssize_t sent = ::send(fd_of(s), buf, n, MSG_NOSIGNAL);
    if (sent >= 0) {
      if (static_cast<size_t>(sent) < n && watch.stalled()) break;
      return sent;
    }
    if (errno == EINTR || (is_again(errno) && watch.room())) continue;
    if (!is_again(errno)) return -1;
    break;
  }
  errno = EAGAIN;
  return -1;
}

int64_t plat_send2(plat_sock s, const void* a, size_t na, const void* b, size_t nb) {
  iovec parts[2] = {{const_cast<void*>(a), na}, {const_cast<void*>(b), nb}};
  msghdr msg{};
  msg.msg_iov = parts;
  msg.msg_iovlen = 2;
  stall_watch watch(s);
  for (;;) {
    watch.start();
    ssize_t sent = ::sendmsg(fd_of(s), &msg, MSG_NOSIGNAL);
    if (sent >= 0) {
      if (static_cast<size_t>(sent) < na + nb && watch.stalled()) break;
      return sent;
    }
    if (errno == EINTR || (is_again(errno) && watch.room())) continue;
    if (!is_again(errno)) return -1;
    break;
  }
  errno = EAGAIN;
  return -1;
}

uint64_t plat_send_head_file(plat_sock s, const void* head, size_t head_len, plat_file* f,
                             uint64_t offset, uint64_t count) {
  // The last sendfile call pushes out a head held back for the body.
  const auto* p = static_cast<const unsigned char*>(head);
  size_t left = head_len;
  const int more = head_flags(head_len, count);
  stall_watch watch(s);
  while (left > 0) {
    watch.start();
    ssize_t sent = ::send(fd_of(s), p, left, MSG_NOSIGNAL | more);
    if (sent < 0 && (errno == EINTR || (is_again(errno) && watch.room()))) continue;
    if (sent <= 0) break;
    p += sent;
    left -= static_cast<size_t>(sent);
    if (left > 0 && watch.stalled()) break;
  }
  if (left > 0) return head_len - left;
  if (count == 0) return head_len;
  const uint64_t body = send_file_watched(s, f, offset, count, &watch);
  // A body that came short may leave the head held back; setting TCP_NODELAY pushes it out.
  if (body < count) plat_sock_nodelay(s);
  return head_len + body;
}

uint64_t plat_send_file(plat_sock s, plat_file* f, uint64_t offset, uint64_t count) {
  stall_watch watch(s);
  return send_file_watched(s, f, offset, count, &watch);
}

int plat_sock_nonblocking(plat_sock s) {
  const int flags = ::fcntl(fd_of(s), F_GETFL);
  return flags >= 0 && ::fcntl(fd_of(s), F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
}

int64_t plat_recv_nb(plat_sock s, void* buf, size_t n) {
  for (;;) {
    ssize_t got = ::recv(fd_of(s), buf, n, MSG_DONTWAIT);
    if (got >= 0) return got;
    if (is_again(errno)) return PLAT_AGAIN;
    if (errno != EINTR) return -1;
  }
}

int64_t plat_send_nb(plat_sock s, const void* a, size_t na, const void* b, size_t nb) {
  iovec parts[2] = {{const_cast<void*>(a), na}, {const_cast<void*>(b), nb}};
  msghdr msg{};
  msg.msg_iov = parts;
  msg.msg_iovlen = nb > 0 ? 2 : 1;
  for (;;) {
    ssize_t sent = ::sendmsg(fd_of(s), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return sent;
    if (is_again(errno)) return PLAT_AGAIN;
    if (errno != EINTR) return -1;
  }
}

int64_t plat_send_file_nb(plat_sock s, plat_file* f, uint64_t offset, uint64_t count) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return 0;
  sigpipe_guard guard;
  for (;;) {
    off_t at = static_cast<off_t>(offset);
    ssize_t sent =
        ::sendfile(fd_of(s), f->fd, &at, static_cast<size_t>(std::min(count, kMaxSendfileBytes)));
    if (sent >= 0) return sent;
    if (is_again(errno)) return PLAT_AGAIN;
    if (errno == EINTR) continue;
    if (errno == EPIPE) guard.note_epipe();
    // Some file systems cannot feed sendfile: their bytes go through the thread's buffer.
    if (errno == EINVAL || errno == ENOSYS) return send_copy_nb(s, f, offset, count);
    return -1;
  }
}

int64_t plat_send_head_file_nb(plat_sock s, const void* head, size_t head_len, plat_file* f,
                               uint64_t offset, uint64_t count) {
  int64_t done = 0;
  if (head_len > 0) {
    const int more = head_flags(head_len, count);
    ssize_t sent;
    do {
      sent = ::send(fd_of(s), head, head_len, MSG_NOSIGNAL | MSG_DONTWAIT | more);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return is_again(errno) ? PLAT_AGAIN : -1;
    done = sent;
    if (static_cast<size_t>(sent) < head_len) return done;
  }
  if (count == 0) return done;
  const int64_t body = plat_send_file_nb(s, f, offset, count);
  if (body > 0) return done + body;
  // The head may wait behind MSG_MORE for bytes that are not coming now: push it out.
  if (done > 0) plat_sock_nodelay(s);
  if (body == PLAT_AGAIN) return done > 0 ? done : PLAT_AGAIN;
  return done > 0 ? done : body;
}

plat_sock plat_sock_accept_nb(plat_sock listener, int* failed) {
  *failed = 0;
  for (;;) {
    int fd = ::accept4(fd_of(listener), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) return fd;
    if (errno == EINTR) continue;
    // A connection that was reset before it was taken is gone, not a failure of the listener.
    if (!is_again(errno) && errno != ECONNABORTED) *failed = 1;
    return PLAT_NO_SOCK;
  }
}

int plat_no_descriptors() {
  return errno == EMFILE || errno == ENFILE ? 1 : 0;
}

int plat_sock_shutdown_write(plat_sock s) {
  return ::shutdown(fd_of(s), SHUT_WR) == 0 ? 0 : -1;
}

void plat_sock_close_gently(plat_sock s) {
  if (s == PLAT_NO_SOCK) return;
  ::shutdown(fd_of(s), SHUT_WR);
  char sink[4096];
  // What already arrived is dropped: a bounded few reads, never a wait.
  for (int i = 0; i < 16 && ::recv(fd_of(s), sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
  }
  ::close(fd_of(s));
}

namespace {

// One descriptor held back from the process's count for plat_sock_refuse_waiting; -1 while it
// is lent out, or before plat_descriptor_reserve.
std::mutex g_reserve_lock;
int g_reserve_fd = -1;

}  // namespace

void plat_descriptor_reserve() {
  std::lock_guard<std::mutex> hold(g_reserve_lock);
  if (g_reserve_fd < 0) g_reserve_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

int plat_sock_refuse_waiting(plat_sock listener, const void* msg, size_t n) {
  std::lock_guard<std::mutex> hold(g_reserve_lock);
  if (g_reserve_fd >= 0) {
    ::close(g_reserve_fd);
    g_reserve_fd = -1;
  }
  int fd;
  do {
    fd = ::accept4(fd_of(listener), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    [[maybe_unused]] ssize_t sent = ::send(fd, msg, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    plat_sock_close_gently(fd);
  }
  g_reserve_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  return fd >= 0 ? 0 : -1;
}
