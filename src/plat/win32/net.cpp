// net.cpp: the Winsock calls of the server: starting the library, creation and options,
// listening, accepting, one receive, one send, and the file-body send. Error numbers are handed
// up as Winsock codes (WSAGetLastError) for the callers' messages.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>
#include <new>

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
  if (r < 0) return -1;
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

int plat_sock_send_timeout(plat_sock s, int timeout_ms) {
  if (timeout_ms < 0) return -1;
  DWORD ms = static_cast<DWORD>(timeout_ms);
  return setsockopt(sock_of(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms),
                    sizeof ms) == 0
             ? 0
             : -1;
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
    if (WSAGetLastError() != WSAEINTR) return -1;
  }
}

int64_t plat_send(plat_sock s, const void* buf, size_t n) {
  // Windows has no SIGPIPE: a send to a closed peer fails with an error code.
  int want = static_cast<int>(std::min(n, kMaxIoBytes));
  for (;;) {
    int sent = send(sock_of(s), static_cast<const char*>(buf), want, 0);
    if (sent >= 0) return sent;
    if (WSAGetLastError() != WSAEINTR) return -1;
  }
}

uint64_t plat_send_file(plat_sock s, plat_file* f, uint64_t offset, uint64_t count) {
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
