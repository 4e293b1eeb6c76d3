// net.cpp: the Winsock calls of the server: starting the library, creation and options,
// listening, accepting, one receive, one send, and the file-body send. Error numbers are handed
// up as Winsock codes (WSAGetLastError) for the callers' messages.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h: SIO_TCP_INFO, where the headers have it.
#include <mstcpip.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <mutex>

#include "plat/plat.h"
#include "plat/win32/file_handle.h"

namespace {

// The server's file-read size: large enough to keep a send busy, small enough per worker.
constexpr uint32_t kChunkBytes = 262144;
// One send or receive takes an int length.
constexpr size_t kMaxIoBytes = INT_MAX;

static_assert(sizeof(SOCKET) <= sizeof(plat_sock), "a SOCKET must fit in plat_sock");

SOCKET sock_of(plat_sock s) {
  return static_cast<SOCKET>(s);
}

// A socket handle a child process inherits would keep a connection open after the server
// closed it; sockets stay with this process.
void keep_from_children(SOCKET s) {
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

// Sends all of A then all of B; returns the bytes that went, fewer than NA + NB on a failure.
uint64_t send2_all(plat_sock s, const unsigned char* a, size_t na, const unsigned char* b,
                   size_t nb) {
  uint64_t done = 0;
  while (na + nb > 0) {
    int64_t sent = plat_send2(s, a, na, b, nb);
    if (sent <= 0) break;
    done += static_cast<uint64_t>(sent);
    size_t from_a = std::min(static_cast<size_t>(sent), na);
    a += from_a;
    na -= from_a;
    size_t from_b = static_cast<size_t>(sent) - from_a;
    b += from_b;
    nb -= from_b;
  }
  return done;
}

// The thread's file-read buffer. A plain array, not an owning pointer: mingw-w64 emulates
// thread-local storage and releases a thread's variables before their destructors run, so a
// destructor would free a pointer read from freed memory. The emulation allocates the array on
// the thread's first use and releases it when the thread ends.
unsigned char* thread_chunk() {
  thread_local unsigned char t_chunk[kChunkBytes];
  return t_chunk;
}

}  // namespace

int plat_net_init() {
  // A failed start leaves the flag clear, so a later call tries again.
  static std::mutex init_lock;
  static bool wsa_ok = false;
  std::lock_guard<std::mutex> hold(init_lock);
  if (wsa_ok) return 0;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return -1;
  wsa_ok = true;
  return 0;
}

void plat_sock_close(plat_sock s) {
  if (s != PLAT_NO_SOCK) closesocket(sock_of(s));
}

int plat_sock_errno() {
  return WSAGetLastError();
}

int plat_poll1(plat_sock s, int events, int timeout_ms) {
  WSAPOLLFD p{};
  p.fd = sock_of(s);
  if (events & 1) p.events |= POLLRDNORM;
  if (events & 2) p.events |= POLLWRNORM;
  int r = WSAPoll(&p, 1, timeout_ms < 0 ? -1 : timeout_ms);
  // Some Winsock versions refuse a closed socket outright instead of reporting POLLNVAL; either
  // way it holds none of the conditions.
  if (r < 0) return WSAGetLastError() == WSAENOTSOCK ? 0 : -1;
  if (r == 0) return 0;
  // POLLNVAL (not a socket) holds none of the conditions and counts like a time-out.
  int mask = 0;
  if (p.revents & (POLLRDNORM | POLLERR | POLLHUP)) mask |= 1;
  if (p.revents & POLLWRNORM) mask |= 2;
  return mask;
}

plat_sock plat_tcp_socket() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return PLAT_NO_SOCK;
  keep_from_children(s);
  return static_cast<plat_sock>(s);
}

int plat_sock_reuseaddr(plat_sock s) {
  // On Windows SO_REUSEADDR would let a second socket bind the port this one listens on and take
  // its connections. Re-binding after a restart works here without it; what a listener needs is
  // the opposite guarantee: nobody else may bind its port.
  BOOL on = TRUE;
  return setsockopt(sock_of(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                    sizeof on) == 0
             ? 0
             : -1;
}

int plat_sock_nodelay(plat_sock s) {
  BOOL on = TRUE;
  return setsockopt(sock_of(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                    sizeof on) == 0
             ? 0
             : -1;
}

namespace {

int set_timeout(plat_sock s, int option, int timeout_ms) {
  if (timeout_ms < 0) return -1;
  DWORD ms = static_cast<DWORD>(timeout_ms);
  return setsockopt(sock_of(s), SOL_SOCKET, option, reinterpret_cast<const char*>(&ms),
                    sizeof ms) == 0
             ? 0
             : -1;
}

}  // namespace

// SO_SNDTIMEO on Windows bounds a whole blocking send, not each wait for room: a 256 KiB piece
// to a reader slower than about 9 KB/s failed while the reader still made progress. The socket
// is therefore made non-blocking, the time-out is only stored on it, and each send that finds
// no room waits for room with WSAPoll for at most that long, as a POSIX send does.
int plat_sock_send_timeout(plat_sock s, int timeout_ms) {
  if (set_timeout(s, SO_SNDTIMEO, timeout_ms) != 0) return -1;
  u_long on = 1;
  return ioctlsocket(sock_of(s), FIONBIO, &on) == 0 ? 0 : -1;
}

// A receive that outlives SO_RCVTIMEO leaves a Windows socket in an undefined state, so the
// time-out is only stored on the socket here; plat_recv_wait waits for it with WSAPoll and then
// receives bytes that are already there.
int plat_sock_recv_timeout(plat_sock s, int timeout_ms) {
  return set_timeout(s, SO_RCVTIMEO, timeout_ms);
}

int plat_sock_bind_listen(plat_sock s, uint32_t ipv4, uint16_t port, int backlog) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(ipv4);
  a.sin_port = htons(port);
  if (bind(sock_of(s), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return -1;
  return listen(sock_of(s), backlog) == 0 ? 0 : -1;
}

int plat_sock_local_port(plat_sock s) {
  sockaddr_in a{};
  int len = sizeof a;
  if (getsockname(sock_of(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
  if (a.sin_family != AF_INET) return -1;
  return ntohs(a.sin_port);
}

int plat_sock_peer(plat_sock s, uint32_t* ipv4, int* port) {
  sockaddr_in a{};
  int len = sizeof a;
  if (getpeername(sock_of(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
  if (a.sin_family != AF_INET) return -1;
  *ipv4 = ntohl(a.sin_addr.s_addr);
  *port = ntohs(a.sin_port);
  return 0;
}

plat_sock plat_sock_accept(plat_sock listener) {
  for (;;) {
    SOCKET c = accept(sock_of(listener), nullptr, nullptr);
    if (c != INVALID_SOCKET) {
      keep_from_children(c);
      return static_cast<plat_sock>(c);
    }
    if (WSAGetLastError() != WSAEINTR) return PLAT_NO_SOCK;
  }
}

int64_t plat_recv(plat_sock s, void* buf, size_t n) {
  int want = static_cast<int>(std::min(n, kMaxIoBytes));
  for (;;) {
    int got = recv(sock_of(s), static_cast<char*>(buf), want, 0);
    if (got >= 0) return got;
    const int err = WSAGetLastError();
    // A socket made non-blocking for its sends still receives as a blocking one would.
    if (err == WSAEWOULDBLOCK) {
      if (plat_poll1(s, 1, -1) < 0) return -1;
      continue;
    }
    if (err != WSAEINTR) return -1;
  }
}

int64_t plat_recv_wait(plat_sock s, void* buf, size_t n) {
  DWORD ms = 0;
  int len = sizeof ms;
  if (getsockopt(sock_of(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&ms), &len) != 0) {
    return -1;
  }
  const int ready = plat_poll1(s, 1, ms == 0 ? -1 : static_cast<int>(ms));
  if (ready < 0) return -1;
  if (ready == 0) return -2;
  return plat_recv(s, buf, n);
}

namespace {

// After a send found no room: waits for room for at most the socket's send time-out. true when
// there is room again, false when the peer took nothing for that long or the wait failed.
bool wait_for_room(plat_sock s) {
  DWORD ms = 0;
  int len = sizeof ms;
  if (getsockopt(sock_of(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&ms), &len) != 0) {
    return false;
  }
  return plat_poll1(s, 2, ms == 0 ? -1 : static_cast<int>(ms)) > 0;
}

// The outcome of one send call: retry it (interrupted, or room came back), or give RESULT.
bool send_again(plat_sock s) {
  const int err = WSAGetLastError();
  if (err == WSAEINTR) return true;
  return err == WSAEWOULDBLOCK && wait_for_room(s);
}

}  // namespace

int64_t plat_send(plat_sock s, const void* buf, size_t n) {
  // Windows has no SIGPIPE: a send to a closed peer fails with an error code.
  int want = static_cast<int>(std::min(n, kMaxIoBytes));
  for (;;) {
    int sent = send(sock_of(s), static_cast<const char*>(buf), want, 0);
    if (sent >= 0) return sent;
    if (!send_again(s)) return -1;
  }
}

int64_t plat_send2(plat_sock s, const void* a, size_t na, const void* b, size_t nb) {
  // An empty part would be an empty buffer in the gathered send, which not every Winsock takes
  // well: a single part goes out as a plain send.
  if (na == 0) return plat_send(s, b, nb);
  if (nb == 0) return plat_send(s, a, na);
  WSABUF bufs[2];
  bufs[0].buf = static_cast<char*>(const_cast<void*>(a));
  bufs[0].len = static_cast<ULONG>(std::min(na, kMaxIoBytes));
  bufs[1].buf = static_cast<char*>(const_cast<void*>(b));
  bufs[1].len = static_cast<ULONG>(std::min(nb, kMaxIoBytes - bufs[0].len));
  for (;;) {
    DWORD sent = 0;
    if (WSASend(sock_of(s), bufs, 2, &sent, 0, nullptr, nullptr) == 0) return sent;
    if (!send_again(s)) return -1;
  }
}

uint64_t plat_send_file(plat_sock s, plat_file* f, uint64_t offset, uint64_t count) {
  unsigned char* chunk = thread_chunk();
  if (chunk == nullptr) return 0;
  uint64_t done = 0;
  while (done < count) {
    uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(count - done, kChunkBytes));
    int64_t got = plat_fread_at(f, offset + done, chunk, want);
    if (got <= 0) break;
    uint64_t sent = send2_all(s, chunk, static_cast<size_t>(got), nullptr, 0);
    if (sent < static_cast<uint64_t>(got)) break;
    done += sent;
  }
  return done;
}

uint64_t plat_send_head_file(plat_sock s, const void* head, size_t head_len, plat_file* f,
                             uint64_t offset, uint64_t count) {
  unsigned char* chunk = thread_chunk();
  if (chunk == nullptr) return 0;
  // The head leaves in one gathered send with the first file bytes.
  uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(count, kChunkBytes));
  int64_t got = want > 0 ? plat_fread_at(f, offset, chunk, want) : 0;
  if (got < 0) got = 0;
  uint64_t first = static_cast<uint64_t>(got);
  uint64_t sent = send2_all(s, static_cast<const unsigned char*>(head), head_len, chunk,
                            static_cast<size_t>(first));
  if (sent < head_len + first || first < want) return sent;
  return sent + plat_send_file(s, f, offset + first, count - first);
}

int plat_sock_nonblocking(plat_sock s) {
  u_long on = 1;
  return ioctlsocket(sock_of(s), FIONBIO, &on) == 0 ? 0 : -1;
}

plat_sock plat_sock_accept_nb(plat_sock listener, int* failed) {
  *failed = 0;
  for (;;) {
    SOCKET c = accept(sock_of(listener), nullptr, nullptr);
    if (c != INVALID_SOCKET) {
      keep_from_children(c);
      // Accepted sockets take the listener's non-blocking mode; said again to be sure.
      plat_sock_nonblocking(static_cast<plat_sock>(c));
      return static_cast<plat_sock>(c);
    }
    const int err = WSAGetLastError();
    if (err == WSAEINTR) continue;
    if (err != WSAEWOULDBLOCK && err != WSAECONNRESET) *failed = 1;
    return PLAT_NO_SOCK;
  }
}

int64_t plat_recv_nb(plat_sock s, void* buf, size_t n) {
  int want = static_cast<int>(std::min(n, kMaxIoBytes));
  for (;;) {
    int got = recv(sock_of(s), static_cast<char*>(buf), want, 0);
    if (got >= 0) return got;
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) return PLAT_AGAIN;
    if (err != WSAEINTR) return -1;
  }
}

int64_t plat_send_nb(plat_sock s, const void* a, size_t na, const void* b, size_t nb) {
  WSABUF bufs[2];
  bufs[0].buf = static_cast<char*>(const_cast<void*>(a));
  bufs[0].len = static_cast<ULONG>(std::min(na, kMaxIoBytes));
  bufs[1].buf = static_cast<char*>(const_cast<void*>(b));
  bufs[1].len = static_cast<ULONG>(std::min(nb, kMaxIoBytes - bufs[0].len));
  // An empty part would be an empty buffer in the gathered send, which not every Winsock takes
  // well.
  WSABUF* first = na > 0 ? &bufs[0] : &bufs[1];
  const DWORD parts = na > 0 && nb > 0 ? 2 : 1;
  for (;;) {
    DWORD sent = 0;
    if (WSASend(sock_of(s), first, parts, &sent, 0, nullptr, nullptr) == 0) return sent;
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) return PLAT_AGAIN;
    if (err != WSAEINTR) return -1;
  }
}

int64_t plat_send_head_file_nb(plat_sock s, const void* head, size_t head_len, plat_file* f,
                               uint64_t offset, uint64_t count) {
  // The file's bytes go through the thread's buffer behind the head, in one gathered send;
  // those that found no room are read again by the next call.
  unsigned char* chunk = thread_chunk();
  size_t got = 0;
  if (count > 0 && chunk != nullptr) {
    const int64_t n = plat_fread_at(f, offset, chunk,
                                    static_cast<uint32_t>(std::min<uint64_t>(count, kChunkBytes)));
    if (n < 0 && head_len == 0) return -1;
    if (n > 0) got = static_cast<size_t>(n);
  }
  if (head_len == 0 && got == 0) return 0;  // the file ended before its promised length
  return plat_send_nb(s, head, head_len, chunk, got);
}

int64_t plat_send_file_nb(plat_sock s, plat_file* f, uint64_t offset, uint64_t count) {
  return plat_send_head_file_nb(s, nullptr, 0, f, offset, count);
}

int plat_no_descriptors() {
  const DWORD err = GetLastError();
  return err == ERROR_TOO_MANY_OPEN_FILES || err == WSAEMFILE || err == WSAENOBUFS ? 1 : 0;
}

void plat_descriptor_reserve() {
  // Winsock sets no per-process limit on sockets to keep a descriptor back from.
}

int plat_sock_refuse_waiting(plat_sock listener, const void* msg, size_t n) {
  int failed = 0;
  const plat_sock s = plat_sock_accept_nb(listener, &failed);
  if (s == PLAT_NO_SOCK) return -1;
  plat_send_nb(s, msg, n, nullptr, 0);
  plat_sock_close_gently(s);
  return 0;
}

int plat_sock_shutdown_write(plat_sock s) {
  return shutdown(sock_of(s), SD_SEND) == 0 ? 0 : -1;
}

void plat_sock_close_gently(plat_sock s) {
  if (s == PLAT_NO_SOCK) return;
  shutdown(sock_of(s), SD_SEND);
  u_long on = 1;
  ioctlsocket(sock_of(s), FIONBIO, &on);
  char sink[4096];
  // What already arrived is dropped: a bounded few reads, never a wait.
  for (int i = 0; i < 16 && recv(sock_of(s), sink, sizeof sink, 0) > 0; ++i) {
  }
  closesocket(sock_of(s));
}

int plat_sock_pace(plat_sock, int) {
  // Windows reports room as each non-blocking send is accepted, not by a share of the buffer.
  return -1;
}

int64_t plat_sock_acked(plat_sock s) {
#ifdef SIO_TCP_INFO
  // Windows 10 1703 and later: what went out, less what is still in flight.
  DWORD version = 0;
  TCP_INFO_v0 info{};
  DWORD got = 0;
  if (WSAIoctl(sock_of(s), SIO_TCP_INFO, &version, sizeof version, &info, sizeof info, &got,
               nullptr, nullptr) != 0 ||
      got < sizeof info) {
    return -1;
  }
  return static_cast<int64_t>(info.BytesOut - info.BytesInFlight);
#else
  (void)s;
  return -1;
#endif
}
