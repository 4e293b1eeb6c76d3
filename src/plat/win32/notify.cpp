// notify.cpp: folder change notifications on Windows: none. The readiness a WSAPoll poller
// offers covers sockets only, so what waits on change handles would need a thread of its own;
// whoever keeps what it learnt of files relies on its own time limit here instead.
#include "plat/plat.h"

plat_notify* plat_notify_open() {
  return nullptr;
}

void plat_notify_close(plat_notify*) {}

int plat_notify_add(plat_notify*, const char*) {
  return -1;
}

void plat_notify_remove(plat_notify*, int) {}

void plat_notify_drain(plat_notify*, void (*)(void*, int), void*) {}

int plat_poller_arm_notify(plat_poller*, plat_notify*, void*) {
  return -1;
}
