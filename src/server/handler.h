// handler.h: one accepted connection, what survives between its turns on the workers, and the
// turn itself: reading request heads, deciding each answer and sending it.
//
// A connection's life, and who owns it in each state (exactly one owner at a time, so no two
// threads ever touch it at once):
//
//   accepted ──► WAITING (the poller) ──one report──► RUNNING (the worker that took it) ─┐
//                   ▲                                                                    │
//                   └──────── hand_back: wants bytes (read) or room (write) ◄────────────┘
//
// - WAITING: armed once in the poller and linked in the waiting list, both under the list's
//   lock. The workers that are not parked (see listener.cpp) wait on the poller; a one-shot
//   registration is reported to exactly one of them, and that worker unlinks the connection under
//   the lock before touching anything else of it. Ready connections that find every worker busy
//   stay in the poller's ready list.
// - RUNNING: the worker parses heads, answers, and sends until the socket has nothing to read or
//   no room; then it hands the connection back (linking and arming it under the lock) or closes
//   it.
// - The accept thread measures silence and stalls from the moment a connection starts waiting.
//   It never closes one: a connection whose wait ran out (or that makes room past the bound) is
//   marked cut under the lock and reported at once, and the worker that takes its one report
//   closes it. So the only threads that free a connection are the one holding its report and,
//   after every thread has ended, the stop.
#pragma once

#include <cstdint>

#include "server/http.h"

struct conn {
  http_conn in;  // socket, bytes of a partial head, silence account, body still to drop
  http_out out;  // what still has to be sent
  int served = 0;
  // The waiting list's bookkeeping, touched only under its lock while the connection waits.
  int waiting_for = 0;  // 1 bytes to read, 2 room to write
  bool cut = false;     // to be closed by whoever takes its report
  uint64_t wait_since_ms = 0;
  conn* prev = nullptr;
  conn* next = nullptr;
};

// What a connection's turn on a worker ended with.
enum class conn_turn { wait_read, wait_write, close };

// Runs CONN until it has to wait or is over. REQ and SCRATCH are the worker's own, reused for
// every connection it runs. STOPPING tells it the server is shutting down: an answer in flight
// ends at its next wait instead of waiting.
conn_turn run_conn(conn* c, http_request* req, string_builder* scratch, bool stopping);
