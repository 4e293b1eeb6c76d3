// handler.h: one accepted connection, what survives between its turns on the workers, and the
// turn itself: reading request heads, deciding each answer and sending it.
//
// A connection's life, and who owns it in each state (exactly one owner at a time, so no two
// threads ever touch it at once):
//
//   accepted ──► WAITING (its home poller) ──one report──► RUNNING (the worker that took it) ─┐
//                   ▲                                                                          │
//                   └──────── hand_back: wants bytes (read) or room (write) ◄──────────────────┘
//
// - After its last answer has gone (the client asked to close, the 1,000th request, a refused
//   head or body) a connection is not closed at once: it is shut for sending and LINGERS in the
//   poller, its client's bytes read and dropped, for 5 s of silence or 30 s in all, then closed.
//   Closing with bytes unread would send a reset, and a reset makes the client's system throw
//   away whatever of the answer it has not handed to the client yet.
//
// - Every open connection is linked in one list, under the list's lock, from its accept to its
//   close; only the accept thread's clock and the stop walk it. The lock is never taken on the
//   way from a request to its answer.
// - WAITING: the worker that hands a connection back writes its wait (what for, and when it
//   runs out) into one atomic word, then arms it once in its home poller, given at accept. That
//   poller's own worker waits on it, and while that worker is held by a long turn a spare may
//   wait there too (see listener.cpp); a one-shot registration is reported to exactly one of
//   them, and that worker takes the word (swapping in RUNNING) before touching anything
//   else of it; the swap also carries everything the previous worker wrote.
// - RUNNING: the worker parses heads, answers, and sends until the socket has nothing to read or
//   no room; then it hands the connection back or closes it.
// - The accept thread never closes a connection: one whose wait ran out (or that makes room
//   past the bound) is marked cut by swapping its word from that very wait to CUT, and shut
//   down so the poller reports it at once; the worker that takes that one report closes it. A
//   wait that ended or began anew meanwhile is a different word, so the swap fails and nothing
//   is cut. The close unlinks under the lock, so the connection outlives any walk that sees it.
//   The only threads that free a connection are the one holding its report and, after every
//   thread has ended, the stop.
#pragma once

#include <atomic>
#include <cstdint>

#include "server/access_log.h"
#include "server/http.h"

struct conn {
  http_conn in;  // socket, bytes of a partial head, silence account, body still to drop
  http_out out;  // what still has to be sent
  int served = 0;
  uint64_t wait_since_ms = 0;  // when its last wait began, to sum a request's silence
  // Its wait as the accept thread sees it: the millisecond it runs out, shifted left by 3, with
  // a conn_wait below; 0 while a worker runs it.
  std::atomic<uint64_t> wait{0};
  // Workers still inside the call that armed it: the worker the poller hands it to next may be
  // running before that call has returned, and closes it only once it has.
  std::atomic<int> arming{0};
  plat_poller* home = nullptr;  // the poller it waits in, for its whole life
  // Descriptors its output holds (a file, a folder) counted against the bound beside its socket.
  int kept = 0;
  // After its last answer: until when it drops what the client still sends before the close
  // (0 while it is not closing), and how many bytes more it drops at most.
  uint64_t linger_until_ms = 0;
  uint64_t linger_left = 0;
  // What the peer had acknowledged when the connection began to wait for room (-1: unknown):
  // the accept thread compares it with the count when the wait runs out, so a reader that takes
  // bytes more slowly than the socket reports room is not taken for one that stopped.
  std::atomic<int64_t> acked_mark{-1};
  conn* prev = nullptr;  // the list of open connections, under its lock
  conn* next = nullptr;
  access_mark access;  // its answer in flight, for the access records
  conn() = default;
  conn(const conn&) = delete;
  conn& operator=(const conn&) = delete;
  // However it ends, an answer still going out is recorded as far as it went.
  ~conn() { access_closed(&access, out); }
};

// What a connection waits for, in the low bits of conn::wait.
enum conn_wait : uint64_t {
  WAIT_NONE = 0,    // run by a worker
  WAIT_HEAD = 1,    // its first request, or the rest of a head
  WAIT_IDLE = 2,    // its next request, after an answer: the first to go past the bound
  WAIT_ROOM = 3,    // room for the rest of an answer
  WAIT_CUT = 4,     // to be closed by whoever takes its report
  WAIT_LINGER = 5,  // answered for the last time, shut for sending: what it sends is dropped
  // A follower of the changes with everything sent: armed in no poller, woken by a new event or
  // when its keep-alive comment is due (the millisecond its wait runs out); past the bound it
  // makes room after the idle ones.
  WAIT_PARK = 6,
};

// What a connection's turn on a worker ended with.
enum class conn_turn { wait_read, wait_write, park, close };

// Runs CONN until it has to wait or is over. REQ and SCRATCH are the worker's own, reused for
// every connection it runs. Once the server stops, an answer in flight ends at its next wait
// instead of waiting, and a long one between two sends.
conn_turn run_conn(conn* c, http_request* req, string_builder* scratch);

// The listener's side, for the turns: whether the server is stopping, and the bound on the
// descriptors that connections hold (a socket each, and the file or folder an answer opens).
bool server_stopping();
// Wakes every parked follower whose source has not sent the newest event yet; the change
// watcher's hook, run on the thread of the pass with no lock held.
void wake_followers();
// Counts one more descriptor; when that goes past the bound the longest-idle connection is
// cut to make room. false (nothing counted) when no room can be made: answer "busy".
// REGARDLESS: counts it whatever the bound says, for one already open.
bool descriptor_take(bool regardless = false);
void descriptor_give();
// Takes one only while the bound has it to spare: nothing is cut or let go for it.
bool descriptor_try();
