// sock_pair.h: a connected loopback TCP pair for tests of the socket calls, so suites need no
// OS socket header. Both ends are closed when the object goes away.
#pragma once

#include <cstdint>

class tcp_pair {
 public:
  tcp_pair();  // throws when the loopback connection cannot be made
  ~tcp_pair();
  tcp_pair(const tcp_pair&) = delete;
  tcp_pair& operator=(const tcp_pair&) = delete;

  int64_t a() const { return a_; }  // the connecting end
  int64_t b() const { return b_; }  // the accepted end
  void close_b();                   // the peer hangs up

 private:
  int64_t a_ = -1;
  int64_t b_ = -1;
};
