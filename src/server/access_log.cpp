// access_log.cpp: the queue of access records and kobas_poll_access. Workers add a record when
// an answer has gone out; the host takes them on its own thread, one at a time, and the callback
// runs with no lock held. The slots are made once, when records are first switched on, and
// their target texts keep their room, so a busy server stops allocating once they have grown.
#include "server/access_log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kobas.h"
#include "server/http.h"
#include "util/last_error.h"

namespace {

constexpr size_t METHOD_BYTES = 16;
constexpr size_t ROOT_BYTES = 160;
constexpr size_t IP_TEXT_BYTES = 16;  // "255.255.255.255" and the terminator

struct access_entry {
  int64_t time_ms = 0;
  uint32_t ip = 0;
  int port = 0;
  char method[METHOD_BYTES] = "";
  std::string target;  // path and query as received
  const char* protocol = "";
  int status = 0;
  uint64_t bytes = 0;
  int64_t duration_us = 0;
  char root[ROOT_BYTES] = "";
  uint64_t dropped_before = 0;  // records lost between the previous one and this one
};

struct access_queue {
  std::mutex lock;
  std::vector<access_entry> ring;  // ACCESS_QUEUE_RECORDS slots once switched on
  size_t head = 0;                 // the oldest record
  size_t len = 0;
  uint64_t lost = 0;  // records lost with no record after them yet to carry the count
};

access_queue Q;
std::atomic<bool> g_on{false};

// The root of the request a worker is answering, and whether it is being recorded at all.
thread_local bool t_timing = false;
thread_local char t_root[ROOT_BYTES];

int64_t monotonic_us() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t wall_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void copy_text(char* dst, size_t size, const char* src) {
  std::snprintf(dst, size, "%s", src != nullptr ? src : "");
}

// Caller holds Q.lock. Makes room for one record by dropping the oldest; the record after it
// carries the count.
void drop_oldest() {
  const uint64_t gone = Q.ring[Q.head].dropped_before + 1;
  Q.head = (Q.head + 1) % Q.ring.size();
  --Q.len;
  if (Q.len > 0) {
    Q.ring[Q.head].dropped_before += gone;
  } else {
    Q.lost += gone;
  }
}

// Adds the record of one finished answer. FILL writes everything but the drop count.
template <typename Fill>
void push(Fill fill) {
  const std::lock_guard<std::mutex> hold(Q.lock);
  if (Q.ring.empty()) return;
  if (Q.len == Q.ring.size()) drop_oldest();
  access_entry& e = Q.ring[(Q.head + Q.len) % Q.ring.size()];
  try {
    fill(e);
  } catch (...) {
    // No room for the target text: the record is lost, and counted like a dropped one.
    ++Q.lost;
    return;
  }
  e.dropped_before = Q.lost;
  Q.lost = 0;
  ++Q.len;
}

// Everything but the target text and the drop count, which each have their own way over.
void copy_fields(access_entry* to, const access_entry& from) {
  to->time_ms = from.time_ms;
  to->ip = from.ip;
  to->port = from.port;
  std::memcpy(to->method, from.method, sizeof to->method);
  to->protocol = from.protocol;
  to->status = from.status;
  to->bytes = from.bytes;
  to->duration_us = from.duration_us;
  std::memcpy(to->root, from.root, sizeof to->root);
}

void set_target(std::string* out, const http_request* req) {
  out->assign(req->target);
  if (req->query[0] != '\0') out->append("?").append(req->query);
}

void fill_request(access_entry& e, const access_mark& m, const http_request* req) {
  e.time_ms = m.wall_ms;
  e.ip = m.peer_ip;
  e.port = m.peer_port;
  if (req != nullptr) {
    copy_text(e.method, sizeof e.method, req->method);
    set_target(&e.target, req);
    e.protocol = req->keep_alive != 0 ? "HTTP/1.1" : "HTTP/1.0";
  } else {
    // A refused head may be cut anywhere, or be another request's leftovers: none of it is kept.
    e.method[0] = '\0';
    e.target.clear();
    e.protocol = "";
  }
  copy_text(e.root, sizeof e.root, t_root);
}

}  // namespace

struct access_pending {
  access_entry entry;
};

access_mark::access_mark() = default;
access_mark::~access_mark() = default;

int access_records_switch(bool on) {
  if (on) {
    const std::lock_guard<std::mutex> hold(Q.lock);
    try {
      if (Q.ring.empty()) Q.ring.resize(ACCESS_QUEUE_RECORDS);
    } catch (...) {
      return -1;
    }
  }
  g_on.store(on, std::memory_order_relaxed);
  return 0;
}

void access_begin(access_mark* m, plat_sock s, http_out* out) {
  m->timing = g_on.load(std::memory_order_relaxed);
  t_timing = m->timing;
  if (!m->timing) return;
  m->wall_ms = wall_ms();
  m->start_us = monotonic_us();
  m->sent_before = out->sent_total;
  out->status = 0;
  t_root[0] = '\0';
  if (!m->peer_known) {
    int port = 0;
    if (plat_sock_peer(s, &m->peer_ip, &port) == 0) m->peer_port = static_cast<uint16_t>(port);
    m->peer_known = true;
  }
}

void access_note_root(const char* name) {
  if (t_timing) copy_text(t_root, sizeof t_root, name);
}

void access_answered(access_mark* m, const http_request* req, const http_out& out) {
  t_timing = false;
  if (!m->timing) return;
  if (!out.empty()) {
    // Copied now: the request record belongs to the worker and serves its next connection.
    auto p = std::make_unique<access_pending>();
    fill_request(p->entry, *m, req);
    m->pending = std::move(p);
    return;
  }
  m->timing = false;
  const uint64_t bytes = out.sent_total - m->sent_before;
  const int64_t took = monotonic_us() - m->start_us;
  push([&](access_entry& e) {
    fill_request(e, *m, req);
    e.status = out.status;
    e.bytes = bytes;
    e.duration_us = took;
  });
}

void access_sent(access_mark* m, const http_out& out) {
  if (m->pending) access_closed(m, out);
}

void access_closed(access_mark* m, const http_out& out) {
  m->timing = false;
  if (!m->pending) return;
  const std::unique_ptr<access_pending> p = std::move(m->pending);
  const uint64_t bytes = out.sent_total - m->sent_before;
  const int64_t took = monotonic_us() - m->start_us;
  push([&](access_entry& e) {
    copy_fields(&e, p->entry);
    e.target.swap(p->entry.target);
    e.status = out.status;
    e.bytes = bytes;
    e.duration_us = took;
  });
}

extern "C" KOBAS_API int kobas_poll_access(kobas_access_cb cb, void* user) {
  set_ok();
  if (cb == nullptr) {
    set_error(-1, "callback required");
    return -1;
  }
  try {
    size_t budget = 0;
    {
      const std::lock_guard<std::mutex> hold(Q.lock);
      budget = Q.len;
    }
    // Only what was there when the call began: a busy server cannot keep the host here.
    access_entry taken;
    int handed = 0;
    for (; budget > 0; --budget) {
      {
        const std::lock_guard<std::mutex> hold(Q.lock);
        if (Q.len == 0) break;
        access_entry& e = Q.ring[Q.head];
        // Swapped, not copied: the slot keeps a buffer to reuse and nothing can fail here.
        taken.target.swap(e.target);
        copy_fields(&taken, e);
        taken.dropped_before = e.dropped_before;
        Q.head = (Q.head + 1) % Q.ring.size();
        --Q.len;
      }
      char ip[IP_TEXT_BYTES] = "";
      if (taken.ip != 0) {
        std::snprintf(ip, sizeof ip, "%u.%u.%u.%u", taken.ip >> 24, (taken.ip >> 16) & 255,
                      (taken.ip >> 8) & 255, taken.ip & 255);
      }
      const kobas_access record{taken.time_ms,
                                ip,
                                taken.port,
                                taken.method,
                                taken.target.c_str(),
                                taken.protocol,
                                taken.status,
                                static_cast<int64_t>(taken.bytes),
                                taken.duration_us,
                                taken.root,
                                static_cast<int64_t>(taken.dropped_before)};
      cb(&record, user);
      ++handed;
    }
    set_ok();
    return handed;
  } catch (...) {
    set_error(-5, "out of memory");
    return -5;
  }
}
