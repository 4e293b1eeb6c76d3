// memory.cpp: pages taken from Windows directly, outside the runtime's heap.
#include <windows.h>

#include "plat/plat.h"

// Committed pages take physical memory only once touched.
void* plat_pages_alloc(uint64_t bytes) {
  if (bytes == 0) bytes = 1;
  return VirtualAlloc(nullptr, static_cast<SIZE_T>(bytes), MEM_RESERVE | MEM_COMMIT,
                      PAGE_READWRITE);
}

void plat_pages_free(void* p, uint64_t) {
  if (p != nullptr) VirtualFree(p, 0, MEM_RELEASE);
}
