// sock_pair.cpp: the loopback pair over BSD sockets or Winsock, side by side.
#include "sock_pair.h"

#if _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <stdexcept>

namespace {

#if _WIN32
using os_sock = SOCKET;
constexpr os_sock k_bad_sock = INVALID_SOCKET;
using os_len = int;

os_sock open_tcp() {
  // Winsock counts its starts; one more than the tests stop is harmless.
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started ? ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
}
void close_sock(os_sock s) {
  ::closesocket(s);
}
os_sock accept_one(os_sock listener) {
  return ::accept(listener, nullptr, nullptr);
}
#else
using os_sock = int;
constexpr os_sock k_bad_sock = -1;
using os_len = socklen_t;

os_sock open_tcp() {
  return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
void close_sock(os_sock s) {
  ::close(s);
}
os_sock accept_one(os_sock listener) {
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}
#endif

}  // namespace

tcp_pair::tcp_pair() {
  os_sock listener = open_tcp();
  if (listener == k_bad_sock) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  os_len len = sizeof addr;
  os_sock client = k_bad_sock;
  os_sock server = k_bad_sock;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::listen(listener, 1) == 0 &&
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    client = open_tcp();
    if (client != k_bad_sock &&
        ::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
      server = accept_one(listener);
  }
  close_sock(listener);
  if (server == k_bad_sock) {
    if (client != k_bad_sock) close_sock(client);
    throw std::runtime_error("loopback connection failed");
  }
  a_ = static_cast<int64_t>(client);
  b_ = static_cast<int64_t>(server);
}

tcp_pair::~tcp_pair() {
  if (a_ >= 0) close_sock(static_cast<os_sock>(a_));
  close_b();
}

void tcp_pair::close_b() {
  if (b_ >= 0) close_sock(static_cast<os_sock>(b_));
  b_ = -1;
}
