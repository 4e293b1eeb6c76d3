// listener.cpp: the one server of the process: the listening socket, the accept thread, the
// bounded queue of accepted connections and the worker pool that drains it. What a connection
// is answered with is the handler's business; the roots belong to the registry.
#include <atomic>
#include <cstdio>
#include <mutex>

#include "content/roots.h"
#include "kobas.h"
#include "server/config.h"
#include "server/handler.h"
#include "server/http.h"
#include "util/last_error.h"

namespace {

constexpr int MAX_WORKERS = 16;
// Connections waiting for a worker; one more is answered "busy" at once, so a burst cannot
// make the accept thread wait.
constexpr int QUEUE_SLOTS = 64;
constexpr int LISTEN_BACKLOG = 64;
// The waits bound how long an idle server takes to notice a stop.
constexpr int ACCEPT_POLL_MS = 100;
constexpr int WORKER_WAIT_MS = 200;
// A peer that stops reading fails the send after this long instead of holding a worker.
constexpr int SEND_STALL_MAX_MS = 30000;

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
  std::atomic<int32_t> bound_port{0};
};

server_state G;

plat_sock q_items[QUEUE_SLOTS];
int32_t q_head = 0;
int32_t q_len = 0;
plat_mutex q_lock;
plat_cond q_cond;

// Creates the locks exactly once, whichever thread calls first.
void init_once() {
  static std::once_flag done;
  std::call_once(done, [] {
    plat_mutex_init(&G.lock);
    plat_mutex_init(&q_lock);
    plat_cond_init(&q_cond);
  });
}

void accept_main(void*) {
  while (G.running.load() == 1) {
    if (plat_poll1(G.listen_sock, 1, ACCEPT_POLL_MS) <= 0) continue;
    plat_sock s = plat_sock_accept(G.listen_sock);
    if (s == PLAT_NO_SOCK) continue;
    plat_sock_send_timeout(s, SEND_STALL_MAX_MS);
    plat_sock_recv_timeout(s, HTTP_POLL_STEP_MS);
    bool queued = false;
    {
      plat_lock_guard hold(&q_lock);
      if (q_len < QUEUE_SLOTS) {
        q_items[(q_head + q_len) % QUEUE_SLOTS] = s;
        ++q_len;
        plat_cond_broadcast(&q_cond);
        queued = true;
      }
    }
    if (!queued) {
      // Answered without reading the request: the client may retry later.
      respond(s, 503, "Service Unavailable", "text/plain", "busy\n", 5, nullptr, 0, 0);
      plat_sock_close(s);
    }
  }
}

// Takes the oldest queued connection; PLAT_NO_SOCK once the server stops (queued ones are
// closed by the stop).
plat_sock next_connection() {
  plat_lock_guard hold(&q_lock);
  while (q_len == 0) {
    if (G.running.load() == 0) return PLAT_NO_SOCK;
    plat_cond_wait_ms(&q_cond, &q_lock, WORKER_WAIT_MS);
  }
  if (G.running.load() == 0) return PLAT_NO_SOCK;
  plat_sock s = q_items[q_head];
  q_head = (q_head + 1) % QUEUE_SLOTS;
  --q_len;
  return s;
}

void worker_main(void*) {
  for (;;) {
    plat_sock s = next_connection();
    if (s == PLAT_NO_SOCK) return;
    serve_conn(s);
  }
}

void join_workers() {
  for (int i = 0; i < G.worker_count; ++i) plat_thread_join(G.workers[i]);
  G.worker_count = 0;
}

void close_listener() {
  plat_sock_close(G.listen_sock);
  G.listen_sock = PLAT_NO_SOCK;
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
  if (plat_thread_start(&G.accept_thread, accept_main, nullptr) != 0) {
    G.accept_thread = nullptr;
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
  // No lock is held from here on: each worker finishes the connection it serves, which may take
  // long, and another thread's start or stop must not wait on it.
  plat_cond_broadcast(&q_cond);
  join_workers();
  if (G.accept_thread != nullptr) {
    plat_thread_join(G.accept_thread);
    G.accept_thread = nullptr;
  }
  close_listener();
  {
    // These clients get no answer: nobody will serve them now.
    plat_lock_guard hold(&q_lock);
    while (q_len > 0) {
      plat_sock_close(q_items[q_head]);
      q_head = (q_head + 1) % QUEUE_SLOTS;
      --q_len;
    }
  }
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
