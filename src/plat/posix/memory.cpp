// memory.cpp: giving freed heap memory back to the system (glibc keeps one pool per thread).
#include <malloc.h>

#include "plat/plat.h"

void plat_release_free_memory() {
  ::malloc_trim(0);
}
