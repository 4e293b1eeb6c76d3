// thread.cpp: Windows threads, critical sections and condition variables behind the layer's
// plain records. The caller owns the storage of every mutex and condition variable; the layer
// only fills it.
#include <windows.h>

#include <new>

#include "plat/plat.h"

namespace {

// Workers keep their large buffers on the heap, so 1 MiB covers every thread body.
constexpr SIZE_T kStackBytes = 1048576;

static_assert(sizeof(HANDLE) <= sizeof(plat_thread), "a thread handle must fit in plat_thread");
static_assert(sizeof(CRITICAL_SECTION) <= sizeof(plat_mutex::storage), "plat_mutex too small");
static_assert(alignof(CRITICAL_SECTION) <= alignof(plat_mutex), "plat_mutex under-aligned");
static_assert(sizeof(CONDITION_VARIABLE) <= sizeof(plat_cond::storage), "plat_cond too small");
static_assert(alignof(CONDITION_VARIABLE) <= alignof(plat_cond), "plat_cond under-aligned");

struct start_rec {
  void (*fn)(void*);
  void* arg;
};

// Entry of every thread started here; the start record is the thread's to release.
DWORD WINAPI tramp(LPVOID p) {
  auto* rec = static_cast<start_rec*>(p);
  void (*fn)(void*) = rec->fn;
  void* arg = rec->arg;
  delete rec;
  fn(arg);
  return 0;
}

CRITICAL_SECTION* mutex_of(plat_mutex* m) {
  return reinterpret_cast<CRITICAL_SECTION*>(m->storage);
}
CONDITION_VARIABLE* cond_of(plat_cond* c) {
  return reinterpret_cast<CONDITION_VARIABLE*>(c->storage);
}

}  // namespace

int plat_thread_start(plat_thread* out, void (*fn)(void*), void* arg) {
  auto* rec = new (std::nothrow) start_rec{fn, arg};
  if (rec == nullptr) return -1;
  // The size is a reservation, not a commitment: the pages are committed as the stack grows.
  HANDLE h =
      CreateThread(nullptr, kStackBytes, tramp, rec, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (h == nullptr) {
    delete rec;
    return -1;
  }
  *out = h;
  return 0;
}

void plat_thread_join(plat_thread t) {
  WaitForSingleObject(static_cast<HANDLE>(t), INFINITE);
  CloseHandle(static_cast<HANDLE>(t));
}

int plat_cpu_count() {
  DWORD_PTR mine = 0, system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &mine, &system) && mine != 0) {
    int n = 0;
    for (; mine != 0; mine &= mine - 1) ++n;
    return n;
  }
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}

void plat_mutex_init(plat_mutex* m) {
  InitializeCriticalSection(mutex_of(m));
}
void plat_lock(plat_mutex* m) {
  EnterCriticalSection(mutex_of(m));
}
void plat_unlock(plat_mutex* m) {
  LeaveCriticalSection(mutex_of(m));
}
void plat_mutex_destroy(plat_mutex* m) {
  DeleteCriticalSection(mutex_of(m));
}

void plat_cond_init(plat_cond* c) {
  InitializeConditionVariable(cond_of(c));
}

int plat_cond_wait_ms(plat_cond* c, plat_mutex* m, int ms) {
  if (ms < 0) ms = 0;
  return SleepConditionVariableCS(cond_of(c), mutex_of(m), static_cast<DWORD>(ms)) ? 1 : 0;
}

void plat_cond_broadcast(plat_cond* c) {
  WakeAllConditionVariable(cond_of(c));
}
// A Windows condition variable holds no resource.
void plat_cond_destroy(plat_cond*) {}
