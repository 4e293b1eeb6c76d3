// clock.cpp: the Windows wall clock, UTC breakdown, monotonic milliseconds and sleeping.
#include <time.h>
#include <windows.h>

#include "plat/plat.h"

int64_t plat_wall_s() {
  return static_cast<int64_t>(_time64(nullptr));
}

int plat_gmtime(int64_t t, std::tm* out) {
  __time64_t tt = static_cast<__time64_t>(t);
  // The runtime refuses times before 1970 and then fills every field with -1.
  return _gmtime64_s(out, &tt) == 0 ? 0 : -1;
}

uint64_t plat_now_ms() {
  return static_cast<uint64_t>(GetTickCount64());
}

void plat_sleep_ms(int ms) {
  if (ms <= 0) return;
  Sleep(static_cast<DWORD>(ms));
}
