// memory.cpp: pages taken from the system directly, outside the allocator's pools.
#include <sys/mman.h>

#include "plat/plat.h"

void* plat_pages_alloc(uint64_t bytes) {
  if (bytes == 0) bytes = 1;
  // No swap reserved up front: a reservation mostly goes untouched.
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void plat_pages_free(void* p, uint64_t bytes) {
  if (p == nullptr) return;
  ::munmap(p, bytes == 0 ? 1 : bytes);
}
