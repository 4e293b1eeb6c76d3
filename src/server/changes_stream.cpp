// changes_stream.cpp: the stream of /api/changes. The events themselves, with their ids, come
// from the ring the change watcher fills; this file turns a connection into a follower of it.
#include "server/changes_stream.h"

#include <memory>
#include <string>

#include "exports/events.h"
#include "util/sb.h"

namespace {

// What a browser's EventSource waits before it reconnects after the stream ends.
constexpr const char* RETRY_LINE = "retry: 3000\n\n";
// A peer that took no byte for this long is gone: the rule of every answer, judged here at the
// keep-alive comments because a follower between events waits for nothing a poller could see.
constexpr uint64_t STALL_MS = 30000;
// Reads of the client's bytes per wake-up: a follower has nothing to say, so a few are plenty.
constexpr int DROP_READS = 4;

// Tells the client to start afresh: what it missed is no longer kept. It carries the id to go
// on from, so a browser that reconnects after it asks from there and is not reset again; its
// data line makes EventSource dispatch it.
void put_reset(std::string* out, uint64_t id) {
  out->append("id: ").append(std::to_string(id)).append("\nevent: reset\ndata: {}\n\n");
}

// Last-Event-ID as sent: a decimal id. false for anything else.
bool parse_id(const char* text, uint64_t* id) {
  uint64_t v = 0;
  int digits = 0;
  for (const char* p = text; *p != '\0'; ++p, ++digits) {
    if (*p < '0' || *p > '9' || digits == 19) return false;
    v = v * 10 + static_cast<uint64_t>(*p - '0');
  }
  *id = v;
  return digits > 0;
}

class changes_source : public http_source {
 public:
  changes_source(plat_sock sock, uint64_t seen)
      : sock_(sock),
        seen_(seen),
        last_sent_ms_(plat_now_ms()),
        progress_ms_(last_sent_ms_),
        acked_(plat_sock_acked(sock)) {}

  int more(std::string* out) override {
    if (ending_) return 0;
    if (!peer_open()) return -1;
    const uint64_t now = plat_now_ms();
    switch (events_since(seen_, out, &seen_)) {
      case events_catch_up::events:
        last_sent_ms_ = now;
        return 1;
      case events_catch_up::reset:
        // Fallen further behind than the ring reaches: its share of unsent events is bounded
        // by closing it; the client reloads and follows again from the id this carries.
        put_reset(out, seen_);
        ending_ = true;
        return 1;
      case events_catch_up::none:
        break;
    }
    // Woken for an event it had already, or a little before its comment is due (the clock
    // that wakes it ticks once a second).
    if (now + 1000 < last_sent_ms_ + CHANGES_KEEPALIVE_MS) return 3;
    if (stalled(now)) return -1;
    out->append(": keep-alive\n\n");
    last_sent_ms_ = now;
    return 1;
  }

  uint64_t events_seen() const override { return seen_; }

 private:
  // Drops what the client sends (nothing, as a rule); false once it closed its side or failed.
  bool peer_open() {
    char sink[512];
    for (int i = 0; i < DROP_READS; ++i) {
      const int64_t n = plat_recv_nb(sock_, sink, sizeof sink);
      if (n == PLAT_AGAIN) return true;
      if (n <= 0) return false;
    }
    return true;
  }

  // True when the peer acknowledged nothing for STALL_MS although a comment went out in
  // between; where the system cannot tell, the send buffer filling up (a wait for room, with
  // the rule of every answer) or the connection failing finds a dead peer instead.
  bool stalled(uint64_t now) {
    const int64_t acked = plat_sock_acked(sock_);
    if (acked < 0) return false;
    if (acked != acked_) {
      acked_ = acked;
      progress_ms_ = now;
      return false;
    }
    return now - progress_ms_ >= STALL_MS;
  }

  plat_sock sock_;
  uint64_t seen_;
  uint64_t last_sent_ms_;
  uint64_t progress_ms_;
  int64_t acked_;
  bool ending_ = false;
};

}  // namespace

bool answer_changes(const http_reply& r, const http_request& req) {
  sb_owner own;
  string_builder* head = r.scratch != nullptr ? r.scratch : own.get();
  sb_reset(head);
  // No length: the stream ends only with the connection, for HTTP/1.1 and 1.0 alike.
  int failed = put_status_head(head, 200, "OK");
  failed |= sb_puts(head,
                    "Content-Type: text/event-stream\r\nCache-Control: no-store\r\n"
                    "Connection: close\r\n\r\n");
  if (failed != 0) return false;
  const std::string_view head_text(head->data, head->len);
  r.out->close_after = true;
  if (r.head_only != 0) return send_or_keep(r.sock, r.out, head_text, {});

  std::string first(RETRY_LINE);
  uint64_t seen = events_last_id();
  uint64_t asked = 0;
  if (req.last_event_id && req.last_event_id.get()[0] != '\0') {
    if (!parse_id(req.last_event_id.get(), &asked) ||
        events_since(asked, &first, &seen) == events_catch_up::reset) {
      put_reset(&first, seen);
    }
  }
  if (!send_or_keep(r.sock, r.out, head_text, first)) return false;
  r.out->source = std::make_unique<changes_source>(r.sock, seen);
  return true;
}
