// http_client.cpp: the socket side of the test client, over BSD sockets or Winsock. The only
// socket code of the tests besides the loopback pair.
#include "http_client.h"

#if _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

#if _WIN32
using os_sock = SOCKET;
using io_len = int;
constexpr int k_no_sigpipe = 0;  // Windows has no SIGPIPE

os_sock open_tcp() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started ? ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
}
void close_sock(os_sock s) {
  ::closesocket(s);
}
int wait_for(os_sock s, short events, int timeout_ms) {
  WSAPOLLFD p{s, events, 0};
  return ::WSAPoll(&p, 1, timeout_ms);
}
bool interrupted() {
  return ::WSAGetLastError() == WSAEINTR;
}
bool reset_by_peer() {
  int e = ::WSAGetLastError();
  return e == WSAECONNRESET || e == WSAECONNABORTED;
}
constexpr short k_in = POLLRDNORM;
constexpr short k_out = POLLWRNORM;
#else
using os_sock = int;
using io_len = size_t;
constexpr int k_no_sigpipe = MSG_NOSIGNAL;

os_sock open_tcp() {
  return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
void close_sock(os_sock s) {
  ::close(s);
}
int wait_for(os_sock s, short events, int timeout_ms) {
  pollfd p{s, events, 0};
  return ::poll(&p, 1, timeout_ms);
}
bool interrupted() {
  return errno == EINTR;
}
bool reset_by_peer() {
  return errno == ECONNRESET;
}
constexpr short k_in = POLLIN;
constexpr short k_out = POLLOUT;
#endif

os_sock sock_of(int64_t fd) {
  return static_cast<os_sock>(fd);
}

bool ieq(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::string http_response::header(std::string_view name) const {
  for (const auto& h : headers) {
    if (ieq(h.first, name)) return h.second;
  }
  return "";
}

bool http_response::has_header(std::string_view name) const {
  for (const auto& h : headers) {
    if (ieq(h.first, name)) return true;
  }
  return false;
}

std::vector<std::string> http_response::header_lines() const {
  std::vector<std::string> out;
  for (const auto& h : headers) out.push_back(h.first + ": " + h.second);
  return out;
}

http_client::http_client(int port, int timeout_ms, int receive_buffer) : timeout_ms_(timeout_ms) {
  os_sock s = open_tcp();
  fd_ = static_cast<int64_t>(s);
  if (fd_ < 0) return;
  if (receive_buffer > 0) {
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receive_buffer),
                 sizeof receive_buffer);
#ifdef TCP_MAXSEG
    const int segment = 1460;
    ::setsockopt(s, IPPROTO_TCP, TCP_MAXSEG, reinterpret_cast<const char*>(&segment),
                 sizeof segment);
#endif
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) close();
}

http_client::~http_client() {
  close();
}

void http_client::close() {
  if (fd_ >= 0) close_sock(sock_of(fd_));
  fd_ = -1;
}

bool http_client::send(std::string_view bytes) {
  while (!bytes.empty()) {
    if (wait_for(sock_of(fd_), k_out, timeout_ms_) <= 0) return false;
    auto n = ::send(sock_of(fd_), bytes.data(), static_cast<io_len>(bytes.size()), k_no_sigpipe);
    if (n < 0 && interrupted()) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool http_client::fill(size_t max) {
  if (fd_ < 0) return false;
  if (wait_for(sock_of(fd_), k_in, timeout_ms_) <= 0) return false;
  char tmp[65536];
  auto n = ::recv(sock_of(fd_), tmp, static_cast<io_len>(max < sizeof tmp ? max : sizeof tmp), 0);
  if (n < 0 && interrupted()) return true;
  if (n < 0 && reset_by_peer()) saw_reset_ = true;
  if (n == 0 || (n < 0 && reset_by_peer())) saw_close_ = true;
  if (n <= 0) return false;
  buf_.append(tmp, static_cast<size_t>(n));
  return true;
}

bool http_client::read_head(http_response* out) {
  *out = http_response();
  size_t end;
  while ((end = buf_.find("\r\n\r\n")) == std::string::npos) {
    if (!fill()) return false;
  }
  std::string head = buf_.substr(0, end);
  buf_.erase(0, end + 4);
  size_t line_end = head.find("\r\n");
  out->status_line = head.substr(0, line_end);
  if (out->status_line.size() < 12) return false;
  out->status = std::atoi(out->status_line.c_str() + 9);
  while (line_end != std::string::npos) {
    size_t start = line_end + 2;
    line_end = head.find("\r\n", start);
    std::string line =
        head.substr(start, line_end == std::string::npos ? std::string::npos : line_end - start);
    size_t colon = line.find(':');
    if (colon == std::string::npos) return false;
    size_t v = colon + 1;
    while (v < line.size() && line[v] == ' ') ++v;
    out->headers.emplace_back(line.substr(0, colon), line.substr(v));
  }
  return true;
}

bool http_client::read_body(uint64_t n, const std::function<void(const char*, size_t)>& sink) {
  while (n > 0) {
    // Only what is asked for is taken from the socket, so a slow reader's pace is its own.
    if (buf_.empty() && !fill(n < 65536 ? static_cast<size_t>(n) : 65536)) return false;
    size_t take = buf_.size() < n ? buf_.size() : static_cast<size_t>(n);
    sink(buf_.data(), take);
    buf_.erase(0, take);
    n -= take;
  }
  return true;
}

bool http_client::read_until(std::string_view marker, std::string* out) {
  size_t at = std::string::npos;
  while ((at = buf_.find(marker)) == std::string::npos) {
    if (!fill()) return false;
  }
  out->append(buf_, 0, at + marker.size());
  buf_.erase(0, at + marker.size());
  return true;
}

bool http_client::read_response(http_response* out, bool head_only) {
  if (!read_head(out)) return false;
  if (head_only || !out->has_header("Content-Length")) return true;
  uint64_t n = std::strtoull(out->header("Content-Length").c_str(), nullptr, 10);
  return read_body(n, [out](const char* p, size_t len) { out->body.append(p, len); });
}

bool http_client::closed_by_peer(int timeout_ms) {
  if (fd_ < 0 || !buf_.empty()) return false;
  if (wait_for(sock_of(fd_), k_in, timeout_ms) <= 0) return false;
  char c;
  auto n = ::recv(sock_of(fd_), &c, 1, 0);
  return n == 0 || (n < 0 && reset_by_peer());
}

bool http_client::readable(int timeout_ms) {
  if (fd_ < 0) return false;
  return !buf_.empty() || wait_for(sock_of(fd_), k_in, timeout_ms) > 0;
}

http_response http_once(int port, std::string_view request, bool head_only) {
  http_response r;
  http_client c(port);
  if (!c.connected() || !c.send(request) || !c.read_response(&r, head_only)) r.status = 0;
  return r;
}
