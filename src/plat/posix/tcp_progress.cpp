// tcp_progress.cpp: what the kernel knows of a connection's progress. Kept apart from net.cpp
// because it needs <linux/tcp.h>'s tcp_info, whose acknowledged-bytes count the C library's
// older copy of the record lacks, and the two headers do not mix.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "plat/plat.h"

int plat_sock_pace(plat_sock s, int unsent_bytes) {
  return ::setsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsent_bytes,
                      sizeof unsent_bytes) == 0
             ? 0
             : -1;
}

int64_t plat_sock_acked(plat_sock s) {
  tcp_info info{};
  socklen_t len = sizeof info;
  if (::getsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return -1;
  // A kernel older than the field (4.1) hands back a shorter record.
  if (len < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) return -1;
  return static_cast<int64_t>(info.tcpi_bytes_acked);
}
