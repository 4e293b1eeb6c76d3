// thread.cpp: POSIX threads, mutexes and condition variables behind the layer's plain records.
// The caller owns the storage of every mutex and condition variable; the layer only fills it.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "plat/plat.h"
#include "plat/posix/thread_signals.h"

namespace {

thread_local bool t_sigpipe_blocked = false;

// Workers keep their large buffers on the heap, so 1 MiB covers every thread body.
constexpr size_t kStackBytes = 1048576;

static_assert(sizeof(pthread_t) <= sizeof(plat_thread), "a thread id must fit in plat_thread");
static_assert(sizeof(pthread_mutex_t) <= sizeof(plat_mutex::storage), "plat_mutex too small");
static_assert(alignof(pthread_mutex_t) <= alignof(plat_mutex), "plat_mutex under-aligned");
static_assert(sizeof(pthread_cond_t) <= sizeof(plat_cond::storage), "plat_cond too small");
static_assert(alignof(pthread_cond_t) <= alignof(plat_cond), "plat_cond under-aligned");

struct start_rec {
  void (*fn)(void*);
  void* arg;
};

// Entry of every thread started here; the start record is the thread's to release.
void* tramp(void* p) {
  auto* rec = static_cast<start_rec*>(p);
  void (*fn)(void*) = rec->fn;
  void* arg = rec->arg;
  delete rec;
  // The library's own threads write to sockets whose peers may vanish; SIGPIPE stays blocked on
  // them, and the send paths report EPIPE instead.
  sigset_t pipe_set;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  t_sigpipe_blocked = pthread_sigmask(SIG_BLOCK, &pipe_set, nullptr) == 0;
  fn(arg);
  return nullptr;
}

pthread_mutex_t* mutex_of(plat_mutex* m) {
  return reinterpret_cast<pthread_mutex_t*>(m->storage);
}
pthread_cond_t* cond_of(plat_cond* c) {
  return reinterpret_cast<pthread_cond_t*>(c->storage);
}

}  // namespace

bool sigpipe_blocked_for_life() {
  return t_sigpipe_blocked;
}

int plat_thread_start(plat_thread* out, void (*fn)(void*), void* arg) {
  auto* rec = new (std::nothrow) start_rec{fn, arg};
  if (rec == nullptr) return -1;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    delete rec;
    return -1;
  }
  pthread_t id;
  int rc = pthread_attr_setstacksize(&attr, kStackBytes);
  if (rc == 0) rc = pthread_create(&id, &attr, tramp, rec);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete rec;
    return -1;
  }
  *out = nullptr;
  std::memcpy(out, &id, sizeof id);
  return 0;
}

void plat_thread_join(plat_thread t) {
  pthread_t id;
  std::memcpy(&id, &t, sizeof id);
  pthread_join(id, nullptr);
}

int plat_cpu_count() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

void plat_mutex_init(plat_mutex* m) {
  pthread_mutex_init(mutex_of(m), nullptr);
}
void plat_lock(plat_mutex* m) {
  pthread_mutex_lock(mutex_of(m));
}
void plat_unlock(plat_mutex* m) {
  pthread_mutex_unlock(mutex_of(m));
}
void plat_mutex_destroy(plat_mutex* m) {
  pthread_mutex_destroy(mutex_of(m));
}

void plat_cond_init(plat_cond* c) {
  // Time-outs run on the monotonic clock, so a wall-clock change cannot stretch a worker's wait.
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(cond_of(c), &attr);
  pthread_condattr_destroy(&attr);
}

int plat_cond_wait_ms(plat_cond* c, plat_mutex* m, int ms) {
  if (ms < 0) ms = 0;
  timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += ms / 1000;
  until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  return pthread_cond_timedwait(cond_of(c), mutex_of(m), &until) == 0 ? 1 : 0;
}

void plat_cond_broadcast(plat_cond* c) {
  pthread_cond_broadcast(cond_of(c));
}
void plat_cond_destroy(plat_cond* c) {
  pthread_cond_destroy(cond_of(c));
}
