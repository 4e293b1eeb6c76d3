// Thread start and join, the condition variable's two outcomes, and the clocks.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include "plat/plat.h"
#include "proc_usage.h"

namespace {

TEST(PlatThread, EachThreadGetsItsArgument) {
  constexpr int kThreads = 4;
  int seen[kThreads] = {};
  plat_thread th[kThreads];
  for (int i = 0; i < kThreads; ++i)
    ASSERT_EQ(plat_thread_start(
                  &th[i], [](void* a) { *static_cast<int*>(a) += 1; }, &seen[i]),
              0);
  for (plat_thread t : th) plat_thread_join(t);
  // Joined threads have finished: every slot was written exactly once, by its own thread.
  for (int v : seen) EXPECT_EQ(v, 1);
}

struct waiter {
  plat_mutex m;
  plat_cond c;
  bool ready = false;
};

TEST(PlatCond, TimesOutWithoutBroadcast) {
  waiter w;
  plat_mutex_init(&w.m);
  plat_cond_init(&w.c);
  int woken = 1;
  {
    plat_lock_guard g(&w.m);
    // A spurious wake-up returns nonzero; only a time-out gives 0, so wait until one does.
    for (int i = 0; i < 100 && woken != 0; ++i) woken = plat_cond_wait_ms(&w.c, &w.m, 10);
  }
  EXPECT_EQ(woken, 0);
  plat_cond_destroy(&w.c);
  plat_mutex_destroy(&w.m);
}

TEST(PlatCond, BroadcastWakesWaiter) {
  waiter w;
  plat_mutex_init(&w.m);
  plat_cond_init(&w.c);
  int woken = 0;
  plat_thread th;
  {
    // The lock is held before the waker starts, so its broadcast can only come during the wait.
    plat_lock_guard g(&w.m);
    ASSERT_EQ(plat_thread_start(
                  &th,
                  [](void* a) {
                    auto* wt = static_cast<waiter*>(a);
                    plat_lock_guard g(&wt->m);
                    wt->ready = true;
                    plat_cond_broadcast(&wt->c);
                  },
                  &w),
              0);
    // The wait is far longer than any run; only a missed broadcast lets it time out.
    while (!w.ready) woken = plat_cond_wait_ms(&w.c, &w.m, 60000);
  }
  plat_thread_join(th);
  EXPECT_NE(woken, 0);
  plat_cond_destroy(&w.c);
  plat_mutex_destroy(&w.m);
}

struct tm_row {
  int64_t t;
  int year, mon, mday, hour, min, sec, wday, yday;
};

TEST(PlatGmtime, Table) {
  constexpr tm_row rows[] = {
    {0, 70, 0, 1, 0, 0, 0, 4, 0},                // 1970-01-01, a Thursday
    {951782400, 100, 1, 29, 0, 0, 0, 2, 59},     // 2000-02-29 00:00:00, a Tuesday
    {951868799, 100, 1, 29, 23, 59, 59, 2, 59},  // its last second
#if !_WIN32
    {-1, 69, 11, 31, 23, 59, 59, 3, 364},   // 1969-12-31 23:59:59, a Wednesday
    {-2208988800, 0, 0, 1, 0, 0, 0, 1, 0},  // 1900-01-01, a Monday
#endif
    {4102444800, 200, 0, 1, 0, 0, 0, 5, 0},  // 2100-01-01, beyond 32-bit seconds
  };
  for (const tm_row& r : rows) {
    SCOPED_TRACE(r.t);
    std::tm tm{};
    ASSERT_EQ(plat_gmtime(r.t, &tm), 0);
    EXPECT_EQ(tm.tm_year, r.year);
    EXPECT_EQ(tm.tm_mon, r.mon);
    EXPECT_EQ(tm.tm_mday, r.mday);
    EXPECT_EQ(tm.tm_hour, r.hour);
    EXPECT_EQ(tm.tm_min, r.min);
    EXPECT_EQ(tm.tm_sec, r.sec);
    EXPECT_EQ(tm.tm_wday, r.wday);
    EXPECT_EQ(tm.tm_yday, r.yday);
    EXPECT_EQ(tm.tm_isdst, 0);
  }
#if _WIN32
  // The Windows runtime refuses times before 1970.
  std::tm tm{};
  EXPECT_EQ(plat_gmtime(-1, &tm), -1);
  EXPECT_EQ(plat_gmtime(-2208988800, &tm), -1);
#endif
}

TEST(PlatClock, WallClockIsUnixTime) {
  int64_t want = std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
  int64_t got = plat_wall_s();
  EXPECT_GE(got, want);
  EXPECT_LE(got, want + 1);
}

TEST(PlatClock, SleepAdvancesMonotonicClock) {
#if _WIN32
  if (under_wine()) {
    GTEST_SKIP() << "Wine refreshes the tick count from its server process: how far a reading "
                    "lags depends on that process's load (a 20 ms sleep has read as 8 ms)";
  }
  // The Windows tick count moves in steps of the system timer (up to 15.625 ms), so a reading
  // may lag the true time by almost one step.
  constexpr uint64_t tick_step = 16;
#else
  constexpr uint64_t tick_step = 0;
#endif
  uint64_t before = plat_now_ms();
  plat_sleep_ms(20);
  plat_sleep_ms(0);
  plat_sleep_ms(-5);
  EXPECT_GE(plat_now_ms() - before + tick_step, 20u);
}

}  // namespace
