// memory.cpp: handing free heap memory back to Windows.
#include <malloc.h>

#include "plat/plat.h"

// The runtime's heap keeps freed blocks; _heapmin returns what it can to the system.
void plat_release_free_memory() {
  _heapmin();
}
