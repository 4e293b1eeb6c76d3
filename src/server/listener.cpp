// listener.cpp: the one server of the process: the listening socket, the readiness loop that
// holds every connection while it waits for its client, the bounded queue of connections that
// have work, and the worker pool that drains it. A worker holds a connection only while there is
// work (see handler.h for who owns a connection when); what it is answered with is the handler's
// business; the roots belong to the registry.
#include <atomic>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "content/roots.h"
#include "kobas.h"
#include "server/config.h"
#include "server/handler.h"
#include "server/http.h"
#include "util/last_error.h"
#include "util/sb.h"

namespace {

constexpr int MAX_WORKERS = 16;
// Connections with work waiting for a worker. Those that find it full stay with the loop, in
// the order they became ready, and join it as workers take from it: a burst of requests from
// connections already held (10,000 idle clients asking again) is answered, not refused.
constexpr int QUEUE_SLOTS = 64;
constexpr int LISTEN_BACKLOG = 511;
// The loop wakes at least this often to close connections that waited too long and to notice a
// stop; workers wait for work in slices of the same kind.
constexpr int LOOP_TICK_MS = 250;
constexpr int WORKER_WAIT_MS = 200;
// A peer that takes no bytes for this long is cut, whether a worker or the loop waits for it.
constexpr int SEND_STALL_MAX_MS = 30000;
// Descriptors kept back from the connection bound for files, folders and the loop itself.
constexpr int RESERVED_FILES = 64;
constexpr int READY_BATCH = 256;

struct server_state {
  plat_mutex lock;  // guards the transitions of running, starting and stopping
  plat_sock listen_sock = PLAT_NO_SOCK;
  plat_thread loop_thread = nullptr;
  plat_thread workers[MAX_WORKERS] = {};
  int32_t worker_count = 0;
  std::atomic<int32_t> running{0};  // read without the lock by every thread
  int32_t starting = 0;
  // Set while a stop joins the threads, so that a start waits for a clean state instead of
  // sharing the thread table with the stop.
  int32_t stopping = 0;
  std::atomic<int32_t> bound_port{0};
};

server_state G;

// The readiness loop: every connection that waits for its client, oldest wait first.
struct loop_state {
  plat_mutex lock;  // guards the list and every waiting connection's bookkeeping
  plat_poller* poller = nullptr;
  conn* head = nullptr;
  conn* tail = nullptr;
  std::atomic<int> open_conns{0};  // waiting, queued and running: what the bound counts
  int bound = 0;                   // how many connections may be open at once
  // Ready connections the queue had no room for, oldest first; only the loop thread touches it.
  std::deque<conn*> backlog;
  std::atomic<int> backlog_size{0};  // read by the workers, to wake the loop when they take
};

loop_state L;

conn* q_items[QUEUE_SLOTS];
int32_t q_head = 0;
int32_t q_len = 0;
plat_mutex q_lock;
plat_cond q_cond;

// A sentinel key: the listening socket's readiness.
char g_listen_key;

// Creates the locks exactly once, whichever thread calls first.
void init_once() {
  static std::once_flag done;
  std::call_once(done, [] {
    plat_mutex_init(&G.lock);
    plat_mutex_init(&L.lock);
    plat_mutex_init(&q_lock);
    plat_cond_init(&q_cond);
  });
}

// Caller holds L.lock.
void link_waiting(conn* c) {
  c->prev = L.tail;
  c->next = nullptr;
  if (L.tail != nullptr) {
    L.tail->next = c;
  } else {
    L.head = c;
  }
  L.tail = c;
}

// Caller holds L.lock.
void unlink_waiting(conn* c) {
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
}

// Closes a connection nobody else holds.
void destroy(conn* c) {
  plat_poller_forget(L.poller, c->in.sock);
  plat_sock_close(c->in.sock);
  delete c;
  L.open_conns.fetch_sub(1);
}

// Hands C to the loop to wait for bytes (EVENTS 1) or room (2); closes it once the server stops.
void hand_back(conn* c, int events) {
  {
    plat_lock_guard hold(&L.lock);
    if (G.running.load() == 1) {
      c->waiting_for = events;
      c->wait_since_ms = plat_now_ms();
      link_waiting(c);
      if (plat_poller_arm(L.poller, c->in.sock, events, c) == 0) return;
      unlink_waiting(c);
    }
  }
  destroy(c);
}

// Answers "busy" without reading a byte, and closes: a connection beyond the bound when no idle
// one could make room. The socket has just been accepted, so the few bytes fit at once.
void refuse_busy(conn* c) {
  http_out ignored;
  http_reply r{c->in.sock, 0, 0, nullptr, &ignored};
  reply(r, 503, "Service Unavailable", "text/plain", "busy\n");
  destroy(c);
}

// Moves ready connections from the backlog, then from DUE, into the queue while it has room;
// the rest go to the back of the backlog. Loop thread only.
void feed_queue(const std::vector<conn*>& due) {
  size_t next_due = 0;
  {
    plat_lock_guard hold(&q_lock);
    const int before = q_len;
    while (q_len < QUEUE_SLOTS && !L.backlog.empty()) {
      q_items[(q_head + q_len) % QUEUE_SLOTS] = L.backlog.front();
      L.backlog.pop_front();
      ++q_len;
    }
    while (q_len < QUEUE_SLOTS && L.backlog.empty() && next_due < due.size()) {
      q_items[(q_head + q_len) % QUEUE_SLOTS] = due[next_due++];
      ++q_len;
    }
    // One worker woken per connection queued: waking them all for each would send the others
    // straight back to sleep, a context switch apiece on every request.
    for (int i = before; i < q_len; ++i) plat_cond_signal(&q_cond);
  }
  for (; next_due < due.size(); ++next_due) L.backlog.push_back(due[next_due]);
  L.backlog_size.store(static_cast<int>(L.backlog.size()));
}

// Past the bound the connection that has idled longest between requests makes room; one that
// is in the middle of a request or a body keeps its place. Caller holds L.lock.
conn* evict_idle() {
  for (conn* c = L.head; c != nullptr; c = c->next) {
    if (c->waiting_for == 1 && c->served > 0 && c->in.held == 0) {
      unlink_waiting(c);
      return c;
    }
  }
  return nullptr;
}

// Accepts what waits; false when accepting failed and should pause until the next tick.
bool accept_ready() {
  for (int i = 0; i < QUEUE_SLOTS && G.running.load() == 1; ++i) {
    int failed = 0;
    plat_sock s = plat_sock_accept_nb(G.listen_sock, &failed);
    if (s == PLAT_NO_SOCK) {
      // Out of descriptors (or another failure that would repeat at once): the listener is
      // watched again only at the next tick instead of spinning on it.
      if (failed != 0) return false;
      break;
    }
    plat_sock_nodelay(s);
    plat_sock_send_timeout(s, SEND_STALL_MAX_MS);
    auto* c = new (std::nothrow) conn;
    if (c == nullptr) {
      plat_sock_close(s);
      continue;
    }
    c->in.sock = s;
    if (L.open_conns.fetch_add(1) + 1 > L.bound) {
      conn* old = nullptr;
      {
        plat_lock_guard hold(&L.lock);
        old = evict_idle();
      }
      if (old == nullptr) {
        refuse_busy(c);
        continue;
      }
      destroy(old);
    }
    // A new connection waits in the loop until its first bytes arrive.
    hand_back(c, 1);
  }
  return true;
}

// Unlinks every waiting connection whose wait ran out; caller holds L.lock.
void collect_expired(uint64_t now, std::vector<conn*>* out) {
  for (conn* c = L.head; c != nullptr;) {
    conn* next = c->next;
    const uint64_t waited = now - c->wait_since_ms;
    const uint64_t allowed = c->waiting_for == 1
                                 ? static_cast<uint64_t>(HTTP_SILENCE_MAX_MS - c->in.silence_ms)
                                 : static_cast<uint64_t>(SEND_STALL_MAX_MS);
    if (waited >= allowed) {
      unlink_waiting(c);
      out->push_back(c);
    }
    c = next;
  }
}

void loop_main(void*) {
  plat_ready ready[READY_BATCH];
  std::vector<conn*> due;
  std::vector<conn*> expired;
  uint64_t last_sweep = plat_now_ms();
  bool listener_paused = false;
  if (plat_poller_arm(L.poller, G.listen_sock, 1, &g_listen_key) != 0) return;
  while (G.running.load() == 1) {
    const int n = plat_poller_wait(L.poller, ready, READY_BATCH, LOOP_TICK_MS);
    const uint64_t now = plat_now_ms();
    bool listener = false;
    due.clear();
    expired.clear();
    {
      plat_lock_guard hold(&L.lock);
      for (int i = 0; i < n; ++i) {
        if (ready[i].key == &g_listen_key) {
          listener = true;
          continue;
        }
        conn* c = static_cast<conn*>(ready[i].key);
        unlink_waiting(c);
        if (c->waiting_for == 1) {
          c->in.silence_ms += static_cast<int>(now - c->wait_since_ms);
        }
        c->waiting_for = 0;
        due.push_back(c);
      }
      if (now - last_sweep >= LOOP_TICK_MS) {
        collect_expired(now, &expired);
        last_sweep = now;
        if (listener_paused) {
          listener_paused = false;
          listener = true;
        }
      }
    }
    for (conn* c : expired) destroy(c);
    if (!due.empty() || !L.backlog.empty()) feed_queue(due);
    if (listener) {
      if (accept_ready()) {
        plat_poller_arm(L.poller, G.listen_sock, 1, &g_listen_key);
      } else {
        listener_paused = true;
      }
    }
  }
  // Stopped: connections that wait for their clients, or for a worker, are closed at once.
  for (conn* c : L.backlog) destroy(c);
  L.backlog.clear();
  L.backlog_size.store(0);
  plat_lock_guard hold(&L.lock);
  while (L.head != nullptr) {
    conn* c = L.head;
    unlink_waiting(c);
    destroy(c);
  }
}

// Takes the oldest queued connection; null once the server stops (queued ones are closed by
// the stop).
conn* next_connection() {
  plat_lock_guard hold(&q_lock);
  while (q_len == 0) {
    if (G.running.load() == 0) return nullptr;
    plat_cond_wait_ms(&q_cond, &q_lock, WORKER_WAIT_MS);
  }
  if (G.running.load() == 0) return nullptr;
  conn* c = q_items[q_head];
  q_head = (q_head + 1) % QUEUE_SLOTS;
  --q_len;
  // A slot is free: the loop moves the next ready connection in.
  if (L.backlog_size.load(std::memory_order_relaxed) > 0) plat_poller_wake(L.poller);
  return c;
}

void worker_main(void*) {
  // The worker's own request record and head builder, reused for every connection it runs.
  auto req = std::make_unique<http_request>();
  sb_owner scratch;
  for (;;) {
    conn* c = next_connection();
    if (c == nullptr) return;
    switch (run_conn(c, req.get(), scratch.get(), G.running.load() == 0)) {
      case conn_turn::wait_read:
        hand_back(c, 1);
        break;
      case conn_turn::wait_write:
        hand_back(c, 2);
        break;
      case conn_turn::close:
        destroy(c);
        break;
    }
  }
}

void join_workers() {
  for (int i = 0; i < G.worker_count; ++i) plat_thread_join(G.workers[i]);
  G.worker_count = 0;
}

void close_listener() {
  plat_sock_close(G.listen_sock);
  G.listen_sock = PLAT_NO_SOCK;
  plat_poller_close(L.poller);
  L.poller = nullptr;
}

// No thread could serve: undo the start. The workers that did start see running at 0 and end;
// they are joined here so no handle is left behind.
int fail_thread_start() {
  G.running.store(0);
  plat_cond_broadcast(&q_cond);
  join_workers();
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
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (std::sscanf(cfg.bind_ip, "%u.%u.%u.%u", &a, &b, &c, &d) < 4) {
    plat_sock_close(s);
    set_error(-1, "bad bind_ip");
    return -1;
  }
  uint32_t ip = (a << 24) + (b << 16) + (c << 8) + d;
  if (plat_sock_bind_listen(s, ip, static_cast<uint16_t>(cfg.port & 0xFFFF), LISTEN_BACKLOG) != 0) {
    int err = plat_sock_errno();
    plat_sock_close(s);
    set_error(-3, "bind/listen %s:%d failed (errno %d)", cfg.bind_ip, cfg.port, err);
    return -3;
  }
  L.poller = plat_poller_open();
  if (L.poller == nullptr || plat_sock_nonblocking(s) != 0) {
    plat_poller_close(L.poller);
    L.poller = nullptr;
    plat_sock_close(s);
    set_error(-5, "cannot watch sockets");
    return -5;
  }
  // Waiting connections are bounded by what the process may open, less what files, folders
  // and the loop need beside them.
  L.bound = plat_open_files_limit() - RESERVED_FILES;
  if (L.bound < QUEUE_SLOTS) L.bound = QUEUE_SLOTS;
  G.listen_sock = s;
  G.bound_port.store(plat_sock_local_port(s));
  {
    plat_lock_guard hold(&q_lock);
    q_len = 0;
    q_head = 0;
  }
  G.worker_count = 0;
  G.running.store(1);

  int threads = cfg.threads < 1 ? 1 : (cfg.threads > MAX_WORKERS ? MAX_WORKERS : cfg.threads);
  for (int i = 0; i < threads; ++i) {
    // A failed start leaves no gap; fewer workers than asked for still serve.
    if (plat_thread_start(&G.workers[G.worker_count], worker_main, nullptr) == 0) {
      ++G.worker_count;
    }
  }
  if (G.worker_count == 0) return fail_thread_start();
  if (plat_thread_start(&G.loop_thread, loop_main, nullptr) != 0) {
    G.loop_thread = nullptr;
    return fail_thread_start();
  }
  return 0;
}

// A start in progress is still writing the thread table; it never blocks for long.
constexpr int START_POLL_MS = 5;

enum class stop_step { nothing_runs, stop_now, start_in_progress };

stop_step begin_stop() {
  plat_lock_guard hold(&G.lock);
  if (G.starting != 0) return stop_step::start_in_progress;
  if (G.running.load() == 0) return stop_step::nothing_runs;
  G.running.store(0);
  G.stopping = 1;
  return stop_step::stop_now;
}

void stop_server() {
  stop_step step;
  while ((step = begin_stop()) == stop_step::start_in_progress) plat_sleep_ms(START_POLL_MS);
  if (step == stop_step::nothing_runs) return;
  // No lock is held from here on: each worker ends its turn at the connection's next wait, and
  // another thread's start or stop must not wait on it.
  plat_cond_broadcast(&q_cond);
  plat_poller_wake(L.poller);
  join_workers();
  if (G.loop_thread != nullptr) {
    plat_thread_join(G.loop_thread);
    G.loop_thread = nullptr;
  }
  {
    // These clients get no answer: nobody will serve them now.
    plat_lock_guard hold(&q_lock);
    while (q_len > 0) {
      destroy(q_items[q_head]);
      q_head = (q_head + 1) % QUEUE_SLOTS;
      --q_len;
    }
  }
  close_listener();
  roots_clear(roots_get());
  plat_lock_guard hold_state(&G.lock);
  G.stopping = 0;
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
