// clock.cpp: the POSIX wall clock, UTC breakdown, monotonic milliseconds and sleeping.
#include <time.h>

#include <cerrno>

#include "plat/plat.h"

int64_t plat_wall_s() {
  return static_cast<int64_t>(::time(nullptr));
}

int plat_gmtime(int64_t t, std::tm* out) {
  time_t tt = static_cast<time_t>(t);
  if (static_cast<int64_t>(tt) != t) return -1;
  return ::gmtime_r(&tt, out) != nullptr ? 0 : -1;
}

uint64_t plat_now_ms() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void plat_sleep_ms(int ms) {
  if (ms <= 0) return;
  timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  // A signal cuts the sleep short; sleep on for what remains.
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
