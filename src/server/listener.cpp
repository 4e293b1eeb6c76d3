// listener.cpp: the one server of the process: the listening socket and the accept thread, the
// poller that holds every connection while it waits for its client, and the worker pool that
// waits on that poller and runs each connection as it becomes ready. A worker holds a connection
// only while there is work (see handler.h for who owns a connection when); what it is answered
// with is the handler's business; the roots belong to the registry.
#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>

#include "content/roots.h"
#include "exports/events.h"
#include "kobas.h"
#include "server/activity.h"
#include "server/changes_stream.h"
#include "server/config.h"
#include "server/file_cache.h"
#include "server/handler.h"
#include "server/http.h"
#include "util/last_error.h"
#include "util/sb.h"

namespace {

constexpr int MAX_WORKERS = 16;
constexpr int LISTEN_BACKLOG = 511;
// How many connections are taken from the listening socket before the accept thread looks at
// its clock again.
constexpr int ACCEPT_BATCH = 64;
// The accept thread wakes at least this often to notice a stop and to watch a listener paused
// for lack of descriptors again; workers wait for a ready connection in slices of the same kind.
constexpr int LOOP_TICK_MS = 250;
constexpr int WORKER_WAIT_MS = 200;
// Waits are checked for their end this often: the 30-second limits hold to within a second, and
// the list of every open connection, thousands of idle ones included, is walked no more often
// than that.
constexpr int SWEEP_MS = 1000;
// A peer that takes no bytes for this long is cut. Room is watched with the socket's unsent
// bytes kept near PACE_UNSENT_BYTES, so that room is reported as the peer reads; and once a
// second the bytes acknowledged by the peer of every connection waiting for room are looked at,
// so a reader slower than even that keeps its answer as long as it takes bytes.
constexpr int SEND_STALL_MAX_MS = 30000;
// 1 MiB, not less: at 128 KiB one download on loopback lost 15% of its speed to the extra waits
// (2.1 against 2.5 GB/s); at 1 MiB it kept it, and a stalled reader still queues a quarter of
// what an auto-tuned buffer would hold.
constexpr int PACE_UNSENT_BYTES = 1 << 20;
// A closing connection drops its client's bytes for at most this long between two reads.
constexpr uint64_t LINGER_WAIT_MS = 5000;
// Descriptors kept back from the connection bound for files, folders and the pollers; and the
// fewest connections allowed whatever the limit says.
constexpr int RESERVED_FILES = 64;
constexpr int MIN_CONNECTIONS = 64;

struct server_state {
  plat_mutex lock;  // guards the transitions of running, starting and stopping
  plat_sock listen_sock = PLAT_NO_SOCK;
  plat_thread accept_thread = nullptr;
  plat_thread workers[MAX_WORKERS] = {};
  int32_t worker_count = 0;
  std::atomic<int32_t> running{0};  // read without the lock by every thread
  int32_t starting = 0;
  // Set while a stop joins the threads, so that a start waits for a clean state instead of
  // sharing the thread table with the stop.
  int32_t stopping = 0;
  // Stops completed so far: a stop that finds another under way waits for this to move.
  uint64_t stops_done = 0;
  plat_cond settled;  // broadcast whenever starting or stopping goes back to 0
  std::atomic<int32_t> bound_port{0};
};

server_state G;

// Every open connection, and the pollers that hold those waiting for their clients. Each
// connection has a home poller for its whole life, given in turn at accept, and each home poller
// has one worker that waits on it: a client's requests are read by the same thread, with the
// connection still in that processor's cache, and a worker is woken only for its own clients.
// No hand-over between threads and no shared lock on the way to an answer. Ready connections
// that find their worker busy wait in its poller's ready list, in order.
struct wait_state {
  plat_mutex lock;  // guards the list: taken at accept, close, and by the clock
  plat_poller* pollers[MAX_WORKERS] = {};  // the home pollers of the waiting connections
  int poller_count = 0;                    // how many are open
  std::atomic<int> homes{0};               // how many have their own worker, first ones first
  int next_home = 0;                       // the accept thread's turn over the homes
  plat_poller* accept_poller = nullptr;    // the listening socket; the accept thread waits on it
  conn* head = nullptr;
  conn* tail = nullptr;
  int count = 0;  // connections in the list
  // Descriptors held by connections: a socket each from its accept to its close (cut ones
  // included, until a worker closes them), and the file or folder an answer holds open.
  std::atomic<int> open_fds{0};
  int bound = 0;  // how many of those may be open at once
};

wait_state L;

// How long every worker on the poller must have been held by its turn before a parked one joins
// them: far longer than an answer from memory takes, far shorter than a stalled disk read.
constexpr int STUCK_MS = 20;
// How often the accept thread looks for that while turns are being run, and for how long after
// the last turn it keeps looking that often.
constexpr int STUCK_TICK_MS = 10;
constexpr uint64_t RECENT_TURN_MS = 1000;
constexpr uint64_t PARKED = ~uint64_t{0};

// One worker's clock, alone on its cache line: written by its worker at every turn, read by the
// accept thread.
struct alignas(64) worker_lane {
  std::atomic<uint64_t> busy_since{0};  // 0 while waiting on a poller, PARKED, or a turn's start
  std::atomic<uint64_t> last_turn{0};
  std::atomic<int> serving{-1};  // the home poller it waits on; -1 while parked
  int home = -1;                 // the poller it owns; -1 for a spare worker
};

// There are as many homes as processors, but one fewer than the pool when the pool allows: more
// workers running at once would only take processors from each other, and a connection waits for
// its own worker. The workers beyond the homes are spares, parked for the turns that block, on a
// disk that stalls a read or a folder of many entries: when every worker waiting on a poller has
// been held by one turn for STUCK_MS, the accept thread lets one spare wait on that poller too,
// and the spare parks again once a worker there is free.
struct pool_state {
  plat_mutex lock;  // guards parked, tickets and ticket_home
  plat_cond wake;   // a ticket was given, or the server stops
  int parked = 0;
  int tickets = 0;                // spares let out that have not left yet: at most one
  int ticket_home = 0;            // the poller the ticket is for
  std::atomic<int> on_poller{0};  // workers not parked, tickets included
  int workers = 0;                // the pool's size, fixed while the accept thread runs
  worker_lane lanes[MAX_WORKERS];
};

pool_state P;

// Sentinel keys: the listening socket's readiness, and change notifications for the file cache.
char g_listen_key;
char g_notify_key;

// Creates the locks exactly once, whichever thread calls first.
void init_once() {
  static std::once_flag done;
  std::call_once(done, [] {
    plat_mutex_init(&G.lock);
    plat_cond_init(&G.settled);
    plat_mutex_init(&L.lock);
    plat_mutex_init(&P.lock);
    plat_cond_init(&P.wake);
    events_set_notify(wake_followers);
  });
}

constexpr uint64_t wait_word(uint64_t until_ms, conn_wait kind) {
  return until_ms << 3 | kind;
}
constexpr conn_wait wait_kind(uint64_t word) {
  return static_cast<conn_wait>(word & 7);
}

// Caller holds L.lock.
void link_open(conn* c) {
  c->prev = L.tail;
  c->next = nullptr;
  if (L.tail != nullptr) {
    L.tail->next = c;
  } else {
    L.head = c;
  }
  L.tail = c;
  ++L.count;
}

// Caller holds L.lock.
void unlink_open(conn* c) {
  if (c->prev != nullptr) {
    c->prev->next = c->next;
  } else {
    L.head = c->next;
  }
  if (c->next != nullptr) {
    c->next->prev = c->prev;
  } else {
    L.tail = c->prev;
  }
  c->prev = c->next = nullptr;
  --L.count;
}

// Frees a connection nobody else holds and the list no longer has. Its place is given back
// first: a client that sees the close and connects again must find it free.
void release(conn* c) {
  // The host's activity reads the socket of a file answer until its note ends.
  stream_end(c->out.note);
  c->out.note = nullptr;
  L.open_fds.fetch_sub(1 + c->kept);
  plat_poller_forget(c->home, c->in.sock);
  plat_sock_close(c->in.sock);
  delete c;
}

// Closes a connection its caller holds.
void destroy(conn* c) {
  // Rare and short: the connection was reported, run and ended within the arming call.
  while (c->arming.load(std::memory_order_acquire) != 0) plat_sleep_ms(1);
  {
    plat_lock_guard hold(&L.lock);
    unlink_open(c);
  }
  release(c);
}

// Ends a connection from outside the workers if it still waits the wait WORD: it ran out of
// time, or makes room past the bound. It stays linked and armed; the poller reports it at once,
// and the worker that takes the report closes it. A report already on its way to a worker is
// the same one report, so exactly one thread ever closes it. Caller holds L.lock, so the close
// waits until the socket is shut. True when it was cut.
bool cut(conn* c, uint64_t word) {
  if (!c->wait.compare_exchange_strong(word, wait_word(0, WAIT_CUT))) return false;
  // A parked follower is armed nowhere, so nothing would report it: it is armed first. Until
  // then the cut alone holds it, and a failed arming leaves it parked as it was.
  if (wait_kind(word) == WAIT_PARK && plat_poller_arm(c->home, c->in.sock, 1, c) != 0) {
    c->wait.store(word);
    return false;
  }
  plat_poller_expire(c->home, c->in.sock);
  return true;
}

// Arms C, which the caller holds, to wait the wait WORD for EVENTS. 0, or -1 when the poller
// refused (the caller still holds it then).
int arm(conn* c, uint64_t word, int events) {
  // Released: the worker that takes the report swaps this word out, and with it sees every
  // byte of the connection this thread wrote.
  c->arming.fetch_add(1, std::memory_order_relaxed);
  c->wait.store(word, std::memory_order_release);
  const int armed = plat_poller_arm(c->home, c->in.sock, events, c);
  // A cut between the word and the arming found nothing armed to report where reports are
  // queued rather than raised by the socket (Windows): it is reported now that it is armed.
  if (armed == 0 && wait_kind(c->wait.load(std::memory_order_acquire)) == WAIT_CUT) {
    plat_poller_expire(c->home, c->in.sock);
  }
  // Whoever holds the connection from here on waits for this before closing it.
  c->arming.fetch_sub(1, std::memory_order_release);
  if (armed == 0) return 0;
  c->wait.exchange(0, std::memory_order_acq_rel);
  return -1;
}

// Takes a parked follower that still waits the wait WORD out of its parking and hands it to its
// poller to be run as soon as its socket has room: an event came, or its comment is due.
// Caller holds L.lock, so the connection cannot be closed meanwhile; it is never closed here.
void unpark(conn* c, uint64_t word) {
  if (!c->wait.compare_exchange_strong(word, 0, std::memory_order_acq_rel)) return;
  const uint64_t until = plat_now_ms() + static_cast<uint64_t>(SEND_STALL_MAX_MS);
  c->acked_mark.store(-1, std::memory_order_relaxed);
  // Refused by the poller: it stays parked, and the clock tries again when its comment is due.
  if (arm(c, wait_word(until, WAIT_ROOM), 2) != 0) c->wait.store(word);
}

// Hands C to the poller to wait for bytes (EVENTS 1) or room (2), a wait that began at SINCE
// (0: now); closes it once the server stops. A stop after the check finds it in the list once
// every thread has ended.
void hand_back(conn* c, int events, uint64_t since = 0) {
  if (G.running.load() != 1) return destroy(c);
  const uint64_t now = since != 0 ? since : plat_now_ms();
  c->wait_since_ms = now;
  conn_wait kind = WAIT_ROOM;
  int64_t allowed = SEND_STALL_MAX_MS;
  if (c->linger_until_ms != 0) {
    kind = WAIT_LINGER;
    const int64_t left = static_cast<int64_t>(c->linger_until_ms - now);
    allowed = left < static_cast<int64_t>(LINGER_WAIT_MS) ? left : LINGER_WAIT_MS;
    if (allowed < 0) allowed = 0;
  } else if (events == 1) {
    // A client between requests is idle; one in the middle of a head or a body is not.
    kind = c->served > 0 && c->in.held == 0 && c->in.drop_left == 0 ? WAIT_IDLE : WAIT_HEAD;
    allowed = HTTP_SILENCE_MAX_MS - c->in.silence_ms;
    if (allowed < 0) allowed = 0;
  } else {
    c->acked_mark.store(plat_sock_acked(c->in.sock), std::memory_order_relaxed);
  }
  if (arm(c, wait_word(now + static_cast<uint64_t>(allowed), kind), events) != 0) destroy(c);
}

// Parks C, a follower that has sent every event there is, until the next one or its comment.
void park_follower(conn* c) {
  if (G.running.load() != 1) return destroy(c);
  const uint64_t seen = c->out.source->events_seen();
  const uint64_t now = plat_now_ms();
  c->wait_since_ms = now;
  uint64_t word = wait_word(now + CHANGES_KEEPALIVE_MS, WAIT_PARK);
  c->wait.store(word, std::memory_order_seq_cst);
  // An event published since the source last looked found nothing parked to wake; the one who
  // publishes writes the newest id before it looks, so one of the two sees the other. From the
  // store above C may already run elsewhere: only the swap decides who holds it.
  if (events_last_id() != seen && c->wait.compare_exchange_strong(word, 0)) hand_back(c, 2);
}

// Answers "busy" without reading a byte, and closes: a connection beyond the bound when no idle
// one could make room. The socket has just been accepted, so the few bytes fit at once.
// The answer of a connection beyond the bound, built into SB: it is never read from. false when
// the builder could not grow.
bool busy_answer(string_builder* sb) {
  return build_head(sb, 503, "Service Unavailable", "text/plain", 5, nullptr, 0) == 0 &&
         sb_puts(sb, "busy\n") == 0;
}

void refuse_busy(conn* c) {
  sb_owner text;
  if (busy_answer(text.get())) plat_send_nb(c->in.sock, text.str(), text.len(), nullptr, 0);
  L.open_fds.fetch_sub(1);
  // Beyond the bound there is no place to linger in; what the client sent already is dropped
  // so that the close sends no reset ahead of the answer.
  plat_sock_close_gently(c->in.sock);
  delete c;
}

// Past the bound a connection that is closing makes room first, then the one that has idled
// longest between requests; one in the middle of a request head or body, or of an answer,
// keeps its place. True when one was cut.
bool make_room() {
  plat_lock_guard hold(&L.lock);
  // A connection that wakes between the look and the cut is spared; the next longest idle goes.
  for (int tries = 0; tries < 4; ++tries) {
    conn* longest = nullptr;
    uint64_t longest_word = 0;
    conn* follower = nullptr;  // the longest parked follower, when no idle one can go
    uint64_t follower_word = 0;
    for (conn* c = L.head; c != nullptr; c = c->next) {
      const uint64_t word = c->wait.load(std::memory_order_acquire);
      const conn_wait kind = wait_kind(word);
      if (kind == WAIT_LINGER) {
        longest = c;
        longest_word = word;
        break;
      }
      // Idle waits all run out 30 s after they began: the earliest end is the longest idle.
      if (kind == WAIT_IDLE && (longest == nullptr || word < longest_word)) {
        longest = c;
        longest_word = word;
      }
      if (kind == WAIT_PARK && (follower == nullptr || word < follower_word)) {
        follower = c;
        follower_word = word;
      }
    }
    if (longest == nullptr) {
      longest = follower;
      longest_word = follower_word;
    }
    if (longest == nullptr) return false;
    if (cut(longest, longest_word)) return true;
  }
  return false;
}

}  // namespace

bool server_stopping() {
  return G.running.load(std::memory_order_relaxed) != 1;
}

void wake_followers() {
  if (G.running.load() != 1) return;
  plat_lock_guard hold(&L.lock);
  for (conn* c = L.head; c != nullptr; c = c->next) {
    const uint64_t word = c->wait.load(std::memory_order_seq_cst);
    if (wait_kind(word) == WAIT_PARK) unpark(c, word);
  }
}

int server_connections() {
  init_once();
  plat_lock_guard hold(&L.lock);
  return L.count;
}

bool descriptor_take(bool regardless) {
  // Kept files are let go before any connection is.
  if (L.open_fds.fetch_add(1) + 1 <= L.bound || regardless || file_cache_shed() || make_room()) {
    return true;
  }
  L.open_fds.fetch_sub(1);
  return false;
}

bool descriptor_try() {
  if (L.open_fds.fetch_add(1) + 1 <= L.bound) return true;
  L.open_fds.fetch_sub(1);
  return false;
}

void descriptor_give() {
  L.open_fds.fetch_sub(1);
}

namespace {

// Accepts what waits; false when accepting failed and should pause until the next tick.
bool accept_ready() {
  for (int i = 0; i < ACCEPT_BATCH && G.running.load() == 1; ++i) {
    int failed = 0;
    plat_sock s = plat_sock_accept_nb(G.listen_sock, &failed);
    if (s == PLAT_NO_SOCK) {
      // Out of descriptors, though the bound should have kept some (the host holds others):
      // the longest idle makes room for the next, and the newcomer is told "busy" through the
      // descriptor kept for that rather than left waiting unanswered.
      if (failed != 0 && plat_no_descriptors() != 0) {
        make_room();
        sb_owner text;
        if (busy_answer(text.get())) {
          for (int n = 0; n < ACCEPT_BATCH; ++n) {
            if (plat_sock_refuse_waiting(G.listen_sock, text.str(), text.len()) != 0) break;
          }
        }
      }
      // Another failure would repeat at once: the listener is watched again only at the next
      // tick instead of spinning on it.
      if (failed != 0) return false;
      break;
    }
    plat_sock_nodelay(s);
    plat_sock_pace(s, PACE_UNSENT_BYTES);
    auto* c = new (std::nothrow) conn;
    if (c == nullptr) {
      plat_sock_close(s);
      continue;
    }
    c->in.sock = s;
    c->home = L.pollers[L.next_home];
    L.next_home = (L.next_home + 1) % L.homes.load(std::memory_order_relaxed);
    if (L.open_fds.fetch_add(1) + 1 > L.bound && !file_cache_shed() && !make_room()) {
      refuse_busy(c);
      continue;
    }
    {
      plat_lock_guard hold(&L.lock);
      link_open(c);
    }
    // A new connection waits in the poller until its first bytes arrive.
    hand_back(c, 1);
  }
  return true;
}

// True when C, waiting for room with the wait WORD, has had bytes taken by its client since the
// last look, though perhaps too few for the socket to report room: its 30 s start again, so a
// reader that takes bytes at any pace keeps its answer and one that stopped is cut 30 s after
// its last byte. Caller holds L.lock, so the socket is still open.
bool took_bytes(conn* c, uint64_t word, uint64_t now) {
  int64_t mark = c->acked_mark.load(std::memory_order_relaxed);
  const int64_t acked = plat_sock_acked(c->in.sock);
  if (mark < 0 || acked <= mark) return false;
  // A worker that took it meanwhile hands it back with a mark and a wait of its own, and both
  // exchanges fail; a mark changed alone costs at most one more look.
  return c->acked_mark.compare_exchange_strong(mark, acked) &&
         c->wait.compare_exchange_strong(
             word, wait_word(now + static_cast<uint64_t>(SEND_STALL_MAX_MS), WAIT_ROOM));
}

// Once a second: cuts every waiting connection whose wait ran out, unless what it waits for is
// there and only a busy worker has not taken it yet (a client is not silent because the server
// is slow). The clock is read under the lock: a connection handed back after an earlier reading
// would seem to have waited for ever.
void cut_expired() {
  plat_lock_guard hold(&L.lock);
  const uint64_t now = plat_now_ms();
  for (conn* c = L.head; c != nullptr; c = c->next) {
    const uint64_t word = c->wait.load(std::memory_order_acquire);
    const conn_wait kind = wait_kind(word);
    if (kind == WAIT_NONE || kind == WAIT_CUT) continue;
    if (kind == WAIT_ROOM && took_bytes(c, word, now)) continue;
    if (now < word >> 3) continue;
    // A follower's wait ends in its keep-alive comment, not in a cut.
    if (kind == WAIT_PARK) {
      unpark(c, word);
      continue;
    }
    if (kind != WAIT_LINGER && plat_poll1(c->in.sock, kind == WAIT_ROOM ? 2 : 1, 0) > 0) continue;
    cut(c, word);
  }
}

// True when a worker ran a turn lately and a parked one could be needed.
bool turns_lately(uint64_t now) {
  if (P.on_poller.load(std::memory_order_relaxed) >= P.workers) return false;
  for (int i = 0; i < P.workers; ++i) {
    if (now < P.lanes[i].last_turn.load(std::memory_order_relaxed) + RECENT_TURN_MS) return true;
  }
  return false;
}

// True when a lane is free or only started its turn lately: it will be back soon. A turn may
// start after NOW was read.
bool free_lately(uint64_t since, uint64_t now) {
  return since == 0 || (since != PARKED && now < since + STUCK_MS);
}

// Lets one spare wait on the first poller whose every worker is held by a long turn.
void let_one_out_if_stuck(uint64_t now) {
  bool free_on[MAX_WORKERS] = {};
  for (int i = 0; i < P.workers; ++i) {
    const uint64_t since = P.lanes[i].busy_since.load(std::memory_order_acquire);
    const int on = P.lanes[i].serving.load(std::memory_order_relaxed);
    if (on >= 0 && free_lately(since, now)) free_on[on] = true;
  }
  const int homes = L.homes.load(std::memory_order_relaxed);
  plat_lock_guard hold(&P.lock);
  if (P.parked == 0 || P.tickets > 0) return;  // a ticket not yet taken is a free worker soon
  // The search starts after the poller the last ticket went to: with more pollers stuck than
  // spares, a spare that found nothing to do on one goes to the next.
  int stuck = -1;
  for (int k = 1; k <= homes && stuck < 0; ++k) {
    const int at = (P.ticket_home + k) % homes;
    if (!free_on[at]) stuck = at;
  }
  if (stuck < 0) return;
  ++P.tickets;
  P.ticket_home = stuck;
  P.on_poller.fetch_add(1);
  plat_cond_broadcast(&P.wake);
}

// True when SELF is a spare and another worker on its poller is free again; it has left the
// poller then, and parks.
bool relieved(const worker_lane* self) {
  if (self->home >= 0) return false;
  const int on = self->serving.load(std::memory_order_relaxed);
  const uint64_t now = plat_now_ms();
  for (int i = 0; i < P.workers; ++i) {
    const worker_lane& other = P.lanes[i];
    if (&other != self && other.serving.load(std::memory_order_relaxed) == on &&
        free_lately(other.busy_since.load(std::memory_order_acquire), now)) {
      P.on_poller.fetch_sub(1);
      return true;
    }
  }
  return false;
}

// Waits until the accept thread lets this spare out to a poller, or the server stops.
void park(worker_lane* lane) {
  lane->serving.store(-1, std::memory_order_relaxed);
  lane->busy_since.store(PARKED, std::memory_order_release);
  {
    plat_lock_guard hold(&P.lock);
    ++P.parked;
    while (G.running.load() == 1 && P.tickets == 0) plat_cond_wait_ms(&P.wake, &P.lock, 5000);
    if (P.tickets > 0) {
      --P.tickets;
      lane->serving.store(P.ticket_home, std::memory_order_relaxed);
    }
    --P.parked;
  }
  // Released after serving: the accept thread that sees it free sees where it waits.
  lane->busy_since.store(0, std::memory_order_release);
}

// The accept thread: takes new connections into the poller and keeps the clock of those that
// wait there.
void accept_main(void*) {
  plat_ready ready;
  uint64_t last_sweep = plat_now_ms();
  uint64_t last_tick = last_sweep;
  bool listener_paused = false;
  if (plat_poller_arm(L.accept_poller, G.listen_sock, 1, &g_listen_key) != 0) return;
  uint64_t now = last_sweep;
  while (G.running.load() == 1) {
    const int tick = turns_lately(now) ? STUCK_TICK_MS : LOOP_TICK_MS;
    bool listener = plat_poller_wait(L.accept_poller, &ready, 1, tick) == 1;
    now = plat_now_ms();
    let_one_out_if_stuck(now);
    if (now - last_sweep >= SWEEP_MS) {
      cut_expired();
      file_cache_sweep();
      last_sweep = now;
    }
    if (now - last_tick >= LOOP_TICK_MS) {
      last_tick = now;
      if (listener_paused) {
        listener_paused = false;
        listener = true;
      }
    }
    if (listener) {
      if (accept_ready()) {
        plat_poller_arm(L.accept_poller, G.listen_sock, 1, &g_listen_key);
      } else {
        listener_paused = true;
      }
    }
  }
}

// Each poller's queue of connections to run: those one wait reported ready, and those just
// answered whose next request may already be there. Taking several reports per wait, and
// looking again at a connection just answered before arming it, spares the poller two calls an
// answer while clients keep it busy; with nothing else queued, an answered connection goes back
// to the poller at once, as a lone client's next request is not there yet. The queue is the
// poller's, not the worker's: a spare let out to a poller whose worker is held by a long turn
// takes what that worker had queued.
constexpr int TURN_QUEUE = 64;
// Reports are asked for again after this many turns without a wait, so that connections newly
// ready are not kept behind busy ones for long.
constexpr int TURNS_PER_LOOK = 8;
// The look again pays only when clients send faster than they are answered; when they do not,
// it finds nothing and costs a read besides the arming it was meant to spare. A look that finds
// a request spares two calls and one that misses costs one, so each poller scores its looks two
// up for a find and one down for a miss, and stops looking while the score is below zero, but
// for one answer in LOOK_PROBE_EVERY, so that it starts again once clients outpace it.
constexpr int LOOK_SCORE_MAX = 16;
constexpr int LOOK_PROBE_EVERY = 16;

struct queued {
  conn* c;
  int events;            // what it waits for if it goes back to the poller: 1 bytes, 2 room
  uint64_t answered_at;  // queued after an answer then, its next request not yet seen; or 0
};

struct turn_queue {
  std::mutex lock;  // guards the rest
  queued items[TURN_QUEUE];
  int first = 0;
  int count = 0;
  int look_score = 0;  // within -LOOK_SCORE_MAX..LOOK_SCORE_MAX
  int since_probe = 0;
  void push(queued q) { items[(first + count++) % TURN_QUEUE] = q; }
  queued pop() {
    const queued q = items[first];
    first = (first + 1) % TURN_QUEUE;
    --count;
    return q;
  }
};

turn_queue Q[MAX_WORKERS];

// Takes what poller ON reports within TIMEOUT_MS into its queue. The one report a connection
// gets makes the queue, and whichever worker takes it from there, its only owner.
void take_ready(int on, int timeout_ms) {
  plat_ready ready[TURN_QUEUE];
  const int n = plat_poller_wait(L.pollers[on], ready, TURN_QUEUE, timeout_ms);
  if (n < 0) plat_sleep_ms(WORKER_WAIT_MS);  // a failing poller would otherwise be spun on
  const uint64_t now = plat_now_ms();
  for (int i = 0; i < n; ++i) {
    // A change reported in a kept file's folder is taken in before any request of this wait.
    if (ready[i].key == &g_notify_key) {
      file_cache_notified();
      continue;
    }
    auto* c = static_cast<conn*>(ready[i].key);
    const conn_wait kind = wait_kind(c->wait.exchange(0, std::memory_order_acq_rel));
    if (kind == WAIT_CUT) {
      destroy(c);
      continue;
    }
    if (kind == WAIT_HEAD || kind == WAIT_IDLE) {
      c->in.silence_ms += static_cast<int>(now - c->wait_since_ms);
    }
    const int events = kind == WAIT_ROOM ? 2 : 1;
    {
      std::lock_guard<std::mutex> hold(Q[on].lock);
      if (Q[on].count < TURN_QUEUE) {
        Q[on].push({c, events, 0});
        continue;
      }
    }
    hand_back(c, events);  // reported again at once, to whoever waits next
  }
}

// The next connection for a worker on poller ON to run; false when there is none yet.
// *UNLOOKED counts the turns since the poller was last asked.
bool next_turn(int on, int* unlooked, queued* out) {
  bool queued_any = false;
  {
    std::lock_guard<std::mutex> hold(Q[on].lock);
    queued_any = Q[on].count > 0;
    if (queued_any && *unlooked < TURNS_PER_LOOK) {
      *out = Q[on].pop();
      return true;
    }
  }
  take_ready(on, queued_any ? 0 : WORKER_WAIT_MS);
  *unlooked = 0;
  std::lock_guard<std::mutex> hold(Q[on].lock);
  if (Q[on].count == 0) return false;
  *out = Q[on].pop();
  return true;
}

// Queues C, just answered, behind the others waiting on poller ON; false when none wait (or no
// place is left), and it goes back to the poller instead.
bool queue_answered(int on, conn* c, uint64_t now) {
  std::lock_guard<std::mutex> hold(Q[on].lock);
  turn_queue& q = Q[on];
  if (q.count == 0 || q.count == TURN_QUEUE) return false;
  if (q.look_score < 0 && ++q.since_probe < LOOK_PROBE_EVERY) return false;
  q.since_probe = 0;
  q.push({c, 1, now});
  return true;
}

// What a look again at an answered connection on poller ON found.
void note_look(int on, bool found) {
  std::lock_guard<std::mutex> hold(Q[on].lock);
  int& score = Q[on].look_score;
  score = found ? std::min(score + 2, LOOK_SCORE_MAX) : std::max(score - 1, -LOOK_SCORE_MAX);
}

void worker_main(void* arg) {
  auto* lane = static_cast<worker_lane*>(arg);
  // The worker's own request record and head builder, reused for every connection it runs.
  auto req = std::make_unique<http_request>();
  sb_owner scratch;
  int unlooked = 0;
  while (G.running.load() == 1) {
    const int on = lane->serving.load(std::memory_order_relaxed);
    if (on < 0 || relieved(lane)) {
      park(lane);
      continue;
    }
    queued item{};
    if (!next_turn(on, &unlooked, &item)) {
      // A spare that waited a whole slice for nothing is let out where it is needed, if
      // anywhere: another poller may be stuck while this one has no work waiting.
      if (lane->home < 0) {
        P.on_poller.fetch_sub(1);
        park(lane);
      }
      continue;
    }
    conn* c = item.c;
    const int served_before = c->served;
    // Answered last time round: its next request is read now rather than taken for absent.
    if (item.answered_at != 0) c->in.drained = false;
    const uint64_t start = plat_now_ms() | 1;  // 0 means waiting on the poller
    lane->busy_since.store(start, std::memory_order_relaxed);
    lane->last_turn.store(start, std::memory_order_relaxed);
    ++unlooked;
    const conn_turn turn = run_conn(c, req.get(), scratch.get());
    if (item.answered_at != 0) note_look(on, c->served != served_before);
    switch (turn) {
      case conn_turn::wait_read:
        // Queued again only when it answered something; one that had nothing new waits in the
        // poller, idle since its answer: the longest idle is still the first to make room.
        if (c->served == served_before) {
          hand_back(c, 1, item.answered_at);
        } else if (c->linger_until_ms != 0 || !queue_answered(on, c, plat_now_ms())) {
          hand_back(c, 1);
        }
        break;
      case conn_turn::wait_write:
        hand_back(c, 2);
        break;
      case conn_turn::park:
        park_follower(c);
        break;
      case conn_turn::close:
        destroy(c);
        break;
    }
    lane->busy_since.store(0, std::memory_order_relaxed);
  }
}

void join_workers() {
  for (int i = 0; i < G.worker_count; ++i) plat_thread_join(G.workers[i]);
  G.worker_count = 0;
}

void close_listener() {
  plat_sock_close(G.listen_sock);
  G.listen_sock = PLAT_NO_SOCK;
  for (int i = 0; i < L.poller_count; ++i) {
    plat_poller_close(L.pollers[i]);
    L.pollers[i] = nullptr;
  }
  L.poller_count = 0;
  plat_poller_close(L.accept_poller);
  L.accept_poller = nullptr;
}

// Every thread has ended: the connections still waiting get no answer, nobody will serve them.
void close_waiting() {
  // Queued connections are in the list too.
  for (turn_queue& q : Q) {
    std::lock_guard<std::mutex> hold(q.lock);
    q.first = q.count = 0;
  }
  plat_lock_guard hold(&L.lock);
  while (L.head != nullptr) {
    conn* c = L.head;
    unlink_open(c);
    release(c);
  }
}

// Ends every wait of every thread, for good.
void wake_all() {
  for (int i = 0; i < L.poller_count; ++i) plat_poller_wake(L.pollers[i]);
  plat_poller_wake(L.accept_poller);
  plat_lock_guard hold(&P.lock);  // a worker about to park sees running at 0 or is woken here
  plat_cond_broadcast(&P.wake);
}

// No thread could serve: undo the start. The workers that did start see running at 0 and end;
// they are joined here so no handle is left behind.
int fail_thread_start() {
  G.running.store(0);
  wake_all();
  join_workers();
  file_cache_stop();
  close_listener();
  set_error(-5, "thread start failed");
  return -5;
}

int start_server() {
  listen_settings cfg = cfg_listen_settings();
  plat_net_init();  // a failure shows as a failing socket call below
  plat_sock s = plat_tcp_socket();
  if (s == PLAT_NO_SOCK) {
    set_error(-3, "socket() failed (errno %d)", plat_sock_errno());
    return -3;
  }
  plat_sock_reuseaddr(s);
  if (plat_sock_bind_listen(s, cfg.ip, static_cast<uint16_t>(cfg.port & 0xFFFF), LISTEN_BACKLOG) !=
      0) {
    int err = plat_sock_errno();
    plat_sock_close(s);
    set_error(-3, "bind/listen %s:%d failed (errno %d)", cfg.bind_ip, cfg.port, err);
    return -3;
  }
  int threads = cfg.threads < 1 ? 1 : (cfg.threads > MAX_WORKERS ? MAX_WORKERS : cfg.threads);
  const int cpus = plat_cpu_count();
  int homes = threads > 1 ? threads - 1 : 1;
  if (homes > cpus) homes = cpus;
  bool pollers_open = true;
  for (; L.poller_count < homes; ++L.poller_count) {
    L.pollers[L.poller_count] = plat_poller_open();
    if (L.pollers[L.poller_count] == nullptr) pollers_open = false;
  }
  L.accept_poller = plat_poller_open();
  G.listen_sock = s;
  if (!pollers_open || L.accept_poller == nullptr || plat_sock_nonblocking(s) != 0) {
    close_listener();
    set_error(-5, "cannot watch sockets");
    return -5;
  }
  // Open connections are bounded by what the process may open, less what files, folders and
  // the pollers need beside them.
  L.bound = plat_open_files_limit() - RESERVED_FILES;
  if (L.bound < MIN_CONNECTIONS) L.bound = MIN_CONNECTIONS;
  plat_descriptor_reserve();
  // Kept files take their descriptors from the bound, and give them back first when it runs
  // short: a quarter of it at most, so a bound full of connections rarely has to ask.
  file_cache_start(L.bound / 4 < FILE_CACHE_MAX_ENTRIES ? L.bound / 4 : FILE_CACHE_MAX_ENTRIES,
                   L.pollers, L.poller_count, &g_notify_key);
  G.bound_port.store(plat_sock_local_port(s));
  G.worker_count = 0;
  G.running.store(1);

  P.tickets = 0;
  P.workers = threads;
  // A lane that gets no worker looks parked for good, so it never stands for a free worker.
  for (int i = 0; i < threads; ++i) {
    worker_lane& lane = P.lanes[i];
    lane.home = i < homes ? i : -1;
    lane.serving.store(lane.home);
    lane.busy_since.store(PARKED);
    lane.last_turn.store(0);
  }
  for (int i = 0; i < threads; ++i) {
    // A failed start leaves no gap: the next worker takes the same lane, so the homes are served
    // first, and fewer workers than asked for still serve.
    worker_lane& lane = P.lanes[G.worker_count];
    lane.busy_since.store(lane.home >= 0 ? 0 : PARKED);
    if (plat_thread_start(&G.workers[G.worker_count], worker_main, &lane) == 0) {
      ++G.worker_count;
    } else {
      lane.busy_since.store(PARKED);
    }
  }
  if (G.worker_count == 0) return fail_thread_start();
  // Connections go only to homes that have their worker.
  if (G.worker_count < homes) homes = G.worker_count;
  L.homes.store(homes);
  L.next_home = 0;
  P.on_poller.store(homes);
  if (plat_thread_start(&G.accept_thread, accept_main, nullptr) != 0) {
    G.accept_thread = nullptr;
    return fail_thread_start();
  }
  return 0;
}

// A stop waits on G.settled for a start or another stop to end. Wake-ups are broadcast; the
// slice only bounds a missed one.
constexpr int SETTLE_WAIT_MS = 100;

// True when this caller is to stop the server. A start under way is waited for, so its server
// is the one stopped; a stop under way is waited for to its end, so that no kobas_stop returns
// while threads, the listener or roots are still there, whichever thread made the stop.
bool begin_stop() {
  plat_lock_guard hold(&G.lock);
  while (G.starting != 0) plat_cond_wait_ms(&G.settled, &G.lock, SETTLE_WAIT_MS);
  if (G.stopping != 0) {
    const uint64_t seen = G.stops_done;
    while (G.stops_done == seen) plat_cond_wait_ms(&G.settled, &G.lock, SETTLE_WAIT_MS);
    return false;
  }
  if (G.running.load() == 0) return false;
  G.running.store(0);
  G.stopping = 1;
  return true;
}

void stop_server() {
  if (!begin_stop()) return;
  // No lock is held from here on: each worker ends its turn at the connection's next wait, and
  // another thread's start or stop must not wait on it.
  wake_all();
  join_workers();
  if (G.accept_thread != nullptr) {
    plat_thread_join(G.accept_thread);
    G.accept_thread = nullptr;
  }
  file_cache_stop();
  close_waiting();
  close_listener();
  roots_clear(roots_get());
  plat_lock_guard hold_state(&G.lock);
  G.stopping = 0;
  ++G.stops_done;
  plat_cond_broadcast(&G.settled);
}

}  // namespace

extern "C" KOBAS_API int kobas_start(void) {
  set_ok();
  try {
    init_once();
    {
      plat_lock_guard hold(&G.lock);
      if (G.running.load() != 0 || G.starting != 0 || G.stopping != 0) {
        set_error(-2, "already running");
        return -2;
      }
      G.starting = 1;
    }
    // Starting is published: a concurrent start is refused and a stop waits for the outcome,
    // so the thread table is ours without holding the lock across thread creation.
    int rc = -5;
    try {
      rc = start_server();
    } catch (...) {
      if (G.running.load() != 0) {
        rc = fail_thread_start();
      } else {
        close_listener();
        set_error(-5, "out of memory");
      }
    }
    if (rc != 0) G.bound_port.store(0);
    plat_lock_guard hold(&G.lock);
    G.starting = 0;
    plat_cond_broadcast(&G.settled);
    return rc;
  } catch (...) {
    set_error(-5, "out of memory");
    return -5;
  }
}

extern "C" KOBAS_API void kobas_stop(void) {
  set_ok();
  try {
    init_once();
    stop_server();
  } catch (...) {
    set_error(-5, "out of memory");
  }
}

extern "C" KOBAS_API int kobas_is_running(void) {
  set_ok();
  try {
    init_once();
  } catch (...) {
    set_error(-5, "out of memory");
  }
  return G.running.load();
}

extern "C" KOBAS_API int kobas_port(void) {
  set_ok();
  try {
    init_once();
  } catch (...) {
    set_error(-5, "out of memory");
  }
  return G.running.load() == 1 ? G.bound_port.load() : 0;
}
