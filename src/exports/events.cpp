// events.cpp: the ring of the last EVENTS_KEPT events. Each is stored already in the form it
// is sent in, so a burst of followers catching up costs one copy each and no formatting.
#include "exports/events.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "content/json_text.h"
#include "content/roots.h"
#include "plat/plat.h"
#include "util/sb.h"

namespace {

struct event_ring {
  plat_mutex lock;  // guards the slots; never held while the hook runs
  // Shared, so a follower copying an event out never holds the lock for the copy of another.
  std::shared_ptr<const std::string> slots[EVENTS_KEPT];
  // The newest id, also read without the lock: a follower that is about to wait reads it after
  // saying it waits, the publisher writes it before it wakes the waiting ones, so one of the two
  // always sees the other.
  std::atomic<uint64_t> last{0};
  std::atomic<void (*)()> notify{nullptr};
};

event_ring& ring() {
  static event_ring* r = [] {
    auto* made = new event_ring;  // never destroyed: followers may ask during the process's exit
    plat_mutex_init(&made->lock);
    return made;
  }();
  return *r;
}

// The event as it is sent; null when memory ran out.
std::shared_ptr<const std::string> event_text(uint64_t id, const char* kind,
                                              std::string_view data) {
  try {
    auto text = std::make_shared<std::string>();
    text->reserve(40 + data.size());
    text->append("id: ").append(std::to_string(id)).append("\nevent: ").append(kind);
    text->append("\ndata: ").append(data).append("\n\n");
    return text;
  } catch (...) {
    return nullptr;
  }
}

// Stores one event of KIND with DATA (one line of JSON) and wakes the followers. LOST: the data
// could not be made (out of memory). A lost event takes its id all the same and leaves its slot
// empty, so a follower that reaches it is told to start afresh rather than silently miss it.
void publish(const char* kind, std::string_view data, bool lost = false) {
  event_ring& r = ring();
  {
    plat_lock_guard hold(&r.lock);
    const uint64_t id = r.last.load(std::memory_order_relaxed) + 1;
    r.slots[id % EVENTS_KEPT] = lost ? nullptr : event_text(id, kind, data);
    r.last.store(id, std::memory_order_seq_cst);
  }
  if (void (*notify)() = r.notify.load()) notify();
}

}  // namespace

void events_change(const char* root_name, const char* detail) {
  sb_owner data;
  sb_puts(data.get(), "{\"root\":\"");
  sb_json_text(data.get(), root_name);
  sb_puts(data.get(), "\",\"detail\":\"");
  sb_json_text(data.get(), detail);
  if (sb_puts(data.get(), "\"}") != 0) return publish("change", {}, true);
  publish("change", std::string_view(data.str(), data.len()));
}

void events_roots() {
  sb_owner data;
  int failed = sb_putc(data.get(), '{');
  {
    root_registry* reg = roots_get();
    plat_lock_guard hold(&reg->lock);
    // The same object as /api/folders: names need no escaping, the registry admits only
    // URL-safe bytes.
    for (int i = 0; i < reg->count; ++i) {
      failed |= sb_printf(data.get(), "%s\"%s\":\"\"", i > 0 ? "," : "", reg->roots[i].name);
    }
  }
  failed |= sb_putc(data.get(), '}');
  if (failed != 0) return publish("roots", {}, true);
  publish("roots", std::string_view(data.str(), data.len()));
}

uint64_t events_last_id() {
  return ring().last.load(std::memory_order_seq_cst);
}

events_catch_up events_since(uint64_t after, std::string* out, uint64_t* last) {
  event_ring& r = ring();
  std::shared_ptr<const std::string> texts[EVENTS_KEPT];
  uint64_t newest = 0;
  uint64_t count = 0;
  {
    plat_lock_guard hold(&r.lock);
    newest = r.last.load(std::memory_order_relaxed);
    *last = newest;
    if (after == newest) return events_catch_up::none;
    const uint64_t oldest = newest > EVENTS_KEPT ? newest - EVENTS_KEPT + 1 : 1;
    if (after > newest || after + 1 < oldest) return events_catch_up::reset;
    for (uint64_t id = after + 1; id <= newest; ++id) {
      texts[count] = r.slots[id % EVENTS_KEPT];
      if (!texts[count++]) return events_catch_up::reset;
    }
  }
  for (uint64_t i = 0; i < count; ++i) out->append(*texts[i]);
  return events_catch_up::events;
}

void events_set_notify(void (*notify)()) {
  ring().notify.store(notify);
}
