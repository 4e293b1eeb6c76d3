// handler.h: one accepted connection, what survives between its turns on the workers, and the
// turn itself: reading request heads, deciding each answer and sending it.
//
// A connection's life, and who owns it in each state (exactly one owner at a time, so no two
// threads ever touch it at once):
//
//   accepted ──► WAITING (the loop) ──ready──► [BACKLOG] ──► QUEUED ──► RUNNING (one worker) ─┐
//                   ▲                                                                        │
//                   └────────── hand_back: wants bytes (read) or room (write) ◄──────────────┘
//
// - WAITING: armed once in the loop's poller and linked in its waiting list, both under the
//   loop's lock. Only the loop thread reads its readiness, and it unlinks the connection under
//   that lock before queueing it; a one-shot registration is never reported twice.
// - BACKLOG: ready, but the queue was full; only the loop thread holds the backlog, and moves
//   the oldest into the queue as slots free.
// - QUEUED: in the queue of ready connections; no thread touches it until a worker takes it.
// - RUNNING: a worker parses heads, answers, and sends until the socket has nothing to read or
//   no room; then it hands the connection back (linking and arming it under the loop's lock) or
//   closes it. The loop never touches a connection that is not linked in its list.
// Silence and stalls are measured by the loop from the moment a connection starts waiting; a
// connection that waited too long is closed by the loop, which owns it then.
#pragma once

#include <cstdint>

#include "server/http.h"

struct conn {
  http_conn in;  // socket, bytes of a partial head, silence account, body still to drop
  http_out out;  // what still has to be sent
  int served = 0;
  // The loop's bookkeeping, touched only under its lock while the connection waits.
  int waiting_for = 0;  // 1 bytes to read, 2 room to write
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
