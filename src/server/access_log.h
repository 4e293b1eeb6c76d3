// access_log.h: the access records. Each finished answer (its request, status, bytes and time)
// goes into one bounded queue that the host empties with kobas_poll_access on a thread of its
// own; the library never prints them. Off until the configuration switches it on, and then
// cheap: no lock or allocation on a worker beyond one queue slot per answer.
#pragma once

#include <cstdint>
#include <memory>

#include "plat/plat.h"

struct http_request;
struct http_out;
struct access_pending;

// The queue keeps the newest this many records; a record that finds it full pushes out the
// oldest, and the drop is counted on the record that follows it.
inline constexpr size_t ACCESS_QUEUE_RECORDS = 4096;

// What one connection's answer in flight is recorded with. Kept small and without a buffer:
// every idle connection carries one.
struct access_mark {
  bool timing = false;  // the current request's answer is to be recorded
  bool peer_known = false;
  uint16_t peer_port = 0;
  uint32_t peer_ip = 0;      // host order, looked up once per connection
  int64_t wall_ms = 0;       // when its head was complete, since 1970-01-01 UTC
  int64_t start_us = 0;      // the same moment on the monotonic clock
  uint64_t sent_before = 0;  // the connection's byte count then
  // An answer that outlived its turn (a file, a page for a slow client), its texts copied.
  std::unique_ptr<access_pending> pending;
  access_mark();
  ~access_mark();
  access_mark(const access_mark&) = delete;
  access_mark& operator=(const access_mark&) = delete;
};

// The "access_records" setting. Switching on makes the queue once (0, or -1 when there is no
// memory for it); switching off keeps what it holds for the host to take.
int access_records_switch(bool on);

// A request head has arrived on S (or was refused): the answer that follows, through OUT (which
// holds nothing now), is timed from now.
void access_begin(access_mark* m, plat_sock s, http_out* out);
// The root the current request's target was found in, on the worker running it.
void access_note_root(const char* name);
// The answer to REQ (null: a head the reader refused) has been made. It is recorded now when
// OUT sent it all, or once OUT has sent the rest (access_sent) or the connection ends; its
// status is the one OUT read from its first bytes.
void access_answered(access_mark* m, const http_request* req, const http_out& out);
// OUT has sent everything it held.
void access_sent(access_mark* m, const http_out& out);
// The connection ends: an answer still going out is recorded as far as it went.
void access_closed(access_mark* m, const http_out& out);
