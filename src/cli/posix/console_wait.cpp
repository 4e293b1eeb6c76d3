// console_wait.cpp (POSIX): poll on descriptor 0. A stop signal cuts the wait short (the handlers
// are installed without SA_RESTART), as it cuts a read short.
#include "console_wait.h"

#include <poll.h>

#include <cerrno>

int wait_for_console_input(int timeout_ms) {
  pollfd in{0, POLLIN, 0};
  const int r = ::poll(&in, 1, timeout_ms);
  if (r > 0) return 1;
  if (r == 0) return 0;
  // A failure other than a signal shows again in the read, which reports it.
  return errno == EINTR ? -1 : 1;
}
