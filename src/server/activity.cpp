// activity.cpp: the notes of the file answers in progress and kobas_activity_json. A note is
// made and dropped once per body under one lock; the bytes sent in between are counted without
// it, so the answer's own path stays as it was.
#include "server/activity.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "content/json_text.h"
#include "kobas.h"
#include "util/last_error.h"
#include "util/sb.h"

struct stream_note {
  plat_sock sock;
  // Where the body begins among the bytes the peer acknowledges; -1 where the system cannot
  // tell what it acknowledged.
  int64_t acked_base = -1;
  char client[32];
  std::string root;
  std::string rel;
  int64_t size = 0;
  int64_t since_unix = 0;
  std::atomic<uint64_t> handed{0};  // body bytes handed to the system
  stream_note* prev = nullptr;      // the notes in progress, under the lock, oldest first
  stream_note* next = nullptr;
};

namespace {

struct note_list {
  plat_mutex lock;
  stream_note* head = nullptr;
  stream_note* tail = nullptr;
};

note_list& notes() {
  static note_list* list = [] {
    auto* made = new note_list;  // never destroyed: an answer may end during the process's exit
    plat_mutex_init(&made->lock);
    return made;
  }();
  return *list;
}

// The activity's own result buffer; valid until the next kobas_activity_json from any thread.
constexpr size_t ACTIVITY_JSON_BYTES = 262144;
char s_activity[ACTIVITY_JSON_BYTES];

// The body bytes the client took: what it acknowledged where the system tells, for the bytes
// handed over wait in buffers (megabytes, for a player that reads at a video's pace); else the
// bytes handed over.
uint64_t taken(const stream_note& n) {
  const uint64_t handed = n.handed.load(std::memory_order_relaxed);
  const int64_t acked = n.acked_base >= 0 ? plat_sock_acked(n.sock) : -1;
  if (acked < 0) return handed;
  const uint64_t got = acked > n.acked_base ? static_cast<uint64_t>(acked - n.acked_base) : 0;
  return got < handed ? got : handed;
}

// Appends one stream's object, or nothing when it would not leave room for the closing "]}".
void put_stream(string_builder* sb, const stream_note& n) {
  const bool first = sb->data[sb->len - 1] == '[';
  sb_owner one;
  string_builder* o = one.get();
  int failed = sb_puts(o, first ? "{\"client\":\"" : ",{\"client\":\"");
  failed |= sb_puts(o, n.client);
  failed |= sb_puts(o, "\",\"root\":\"");
  sb_json_text(o, n.root.c_str());
  failed |= sb_puts(o, "\",\"rel\":\"");
  sb_json_text(o, n.rel.c_str());
  failed |= sb_printf(o, "\",\"sent\":%llu,\"size\":%lld,\"since_unix\":%lld}",
                      static_cast<unsigned long long>(taken(n)), static_cast<long long>(n.size),
                      static_cast<long long>(n.since_unix));
  if (failed != 0 || sb->len + one.len() + 3 > ACTIVITY_JSON_BYTES) return;
  sb_putn(sb, one.str(), one.len());
}

}  // namespace

stream_note* stream_begin(plat_sock sock, const char* root, const char* rel, int64_t size,
                          uint64_t body_start, uint64_t handed) {
  auto* n = new (std::nothrow) stream_note;
  if (n == nullptr) return nullptr;
  try {
    n->root = root;
    n->rel = rel;
  } catch (...) {
    delete n;
    return nullptr;
  }
  uint32_t ip = 0;
  int port = 0;
  n->client[0] = '\0';
  if (plat_sock_peer(sock, &ip, &port) == 0) {
    std::snprintf(n->client, sizeof n->client, "%u.%u.%u.%u:%d", ip >> 24, (ip >> 16) & 255u,
                  (ip >> 8) & 255u, ip & 255u, port);
  }
  n->sock = sock;
  // The peer's acknowledged count starts with the connection, as BODY_START does.
  if (plat_sock_acked(sock) >= 0) n->acked_base = static_cast<int64_t>(body_start);
  n->handed.store(handed, std::memory_order_relaxed);
  n->size = size;
  n->since_unix = plat_wall_s();
  note_list& l = notes();
  plat_lock_guard hold(&l.lock);
  n->prev = l.tail;
  if (l.tail != nullptr) {
    l.tail->next = n;
  } else {
    l.head = n;
  }
  l.tail = n;
  return n;
}

void stream_progress(stream_note* note, uint64_t bytes) {
  if (note != nullptr) note->handed.fetch_add(bytes, std::memory_order_relaxed);
}

void stream_end(stream_note* note) {
  if (note == nullptr) return;
  note_list& l = notes();
  {
    plat_lock_guard hold(&l.lock);
    (note->prev != nullptr ? note->prev->next : l.head) = note->next;
    (note->next != nullptr ? note->next->prev : l.tail) = note->prev;
  }
  delete note;
}

extern "C" KOBAS_API const char* kobas_activity_json(void) {
  set_ok();
  try {
    const int connections = server_connections();
    sb_owner text;
    int failed = sb_printf(text.get(), "{\"connections\":%d,\"streams\":[", connections);
    if (failed == 0) {
      note_list& l = notes();
      plat_lock_guard hold(&l.lock);
      for (const stream_note* n = l.head; n != nullptr; n = n->next) {
        put_stream(text.get(), *n);
      }
    }
    failed |= sb_puts(text.get(), "]}");
    if (failed != 0) {
      set_error(-5, "out of memory");
      return "";
    }
    std::memcpy(s_activity, text.str(), text.len() + 1);
    return s_activity;
  } catch (...) {
    set_error(-5, "out of memory");
    return "";
  }
}
