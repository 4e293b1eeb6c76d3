#include "sock_pair.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

tcp_pair::tcp_pair() {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int client = -1;
  int server = -1;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::listen(listener, 1) == 0 &&
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client >= 0 && ::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
      server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  }
  ::close(listener);
  if (server < 0) {
    if (client >= 0) ::close(client);
    throw std::runtime_error("loopback connection failed");
  }
  a_ = client;
  b_ = server;
}

tcp_pair::~tcp_pair() {
  if (a_ >= 0) ::close(static_cast<int>(a_));
  close_b();
}

void tcp_pair::close_b() {
  if (b_ >= 0) ::close(static_cast<int>(b_));
  b_ = -1;
}
