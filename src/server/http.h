// http.h: the two ends of the server's HTTP/1.1 subset. The reader turns the bytes of one
// connection into request records, keeping whatever follows a head for the next request; the
// writer sends what the socket takes and keeps the rest for the poller. What to answer is the
// handler's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "plat/plat.h"
#include "server/activity.h"
#include "util/str.h"

struct string_builder;

// A head must fit one receive buffer; a client that needs more is refused with 431.
inline constexpr size_t HTTP_HEAD_MAX_BYTES = 32768;
inline constexpr size_t HTTP_METHOD_BYTES = 16;    // 15 bytes of method and the terminator
inline constexpr size_t HTTP_TARGET_BYTES = 2048;  // target and decoded path, terminator included
inline constexpr size_t HTTP_QUERY_BYTES = 512;
// Request bodies carry nothing this server uses; up to this many bytes are read and dropped so
// the connection can go on, a larger body ends the connection after the answer.
inline constexpr int64_t HTTP_BODY_DROP_MAX_BYTES = 1 << 20;
// A connection is closed after this much silence, summed over the waits for one request.
inline constexpr int HTTP_SILENCE_MAX_MS = 30000;

inline constexpr const char* HTTP_BANNER = "tandrill-kobas/1.0.0";
inline constexpr size_t HTTP_DATE_BYTES = 32;  // "Sun, 06 Dec 2026 21:41:06 GMT" and room

// One request, reused for every request of a connection.
struct http_request {
  char method[HTTP_METHOD_BYTES];  // as received, case kept
  char path[HTTP_TARGET_BYTES];    // target without query, percent-decoded ('+' kept)
  char target[HTTP_TARGET_BYTES];  // target as received, cut at the first '?'
  char query[HTTP_QUERY_BYTES];    // raw text after the first '?', not decoded
  int32_t keep_alive;              // 1 for "HTTP/1.1", 0 for "HTTP/1.0"
  heap_text range;                 // value of the last Range header, null when none
  heap_text authorization;         // value of the last Authorization header, null when none
  int64_t content_length;          // declared body bytes; 0 without the header
  int32_t body_length_unknown;     // Transfer-Encoding, or an unreadable Content-Length
  // Set by read_request when the connection cannot carry another request after this one's
  // answer (a body it did not read); the answer then says "Connection: close".
  int32_t must_close;
  // Conditional requests and content coding. Repeated lines of one of these fields are joined
  // with ", " into one list (RFC 9110 section 5.3); null when the field is absent.
  heap_text if_none_match;
  heap_text if_modified_since;
  heap_text if_range;
  heap_text accept_encoding;
  // The id of the last event a client following the changes saw; null when absent.
  heap_text last_event_id;
};

// Empties every field and releases the captured header copies.
void http_request_clear(http_request* req);

// One connection's reader state: the bytes of a head not yet complete, and of the next request
// that already arrived with the previous one. The buffer exists only while it holds bytes, so a
// connection waiting for its next request costs no buffer.
struct http_conn {
  plat_sock sock;
  std::unique_ptr<char[]> buf;  // HTTP_HEAD_MAX_BYTES + 1 bytes, or null while empty
  size_t held = 0;              // bytes at the start of buf not yet consumed by a request
  int silence_ms = 0;           // waited for the request being read, summed while it waits
  int64_t drop_left = 0;        // bytes of the last request's body still to read and drop
  // The last read took less than there was room for: the socket held nothing more then, so the
  // next read would only find that out again. The poller is asked instead.
  bool drained = false;
};

// Parses one request head (the bytes before its blank line, without the "\r\n\r\n") into REQ,
// which it clears first. 1 parsed; -1 refused with *ERR_STATUS 400 or 505. Pure: touches only
// its arguments, so it can be driven from a table or a fuzzer.
int parse_request_head(std::string_view head, http_request* req, int* err_status);

// Reads the next request of the connection into REQ from what has arrived, without waiting.
// 1 a request is ready (its declared body, when it fits the bound, is dropped before the next
// head is read); 2 more bytes are needed (wait until the socket is readable, then call again);
// 0 the connection is over (closed or failed), answer nothing; -1 refused, *ERR_STATUS is 400,
// 431 or 505.
int read_request(http_conn* conn, http_request* req, int* err_status);
// Hands the receive buffer back when it holds nothing (a connection about to wait).
void http_conn_trim(http_conn* conn);

// The rest of a body that is made as it is sent (a folder page). It is asked for more only when
// everything before it went, so a client that reads slowly, or not at all, holds one piece in
// memory and no thread.
class http_source {
 public:
  virtual ~http_source() = default;
  // Appends the next bytes to OUT: 1 appended, 0 nothing is left, -1 the body cannot be
  // completed (only a close can tell the client then), 2 nothing yet: it made what one turn
  // should, and the connection lets the others ready have theirs before it asks again, 3
  // nothing until news: a stream of events that has sent everything there is; the connection
  // waits parked, in no poller and on no worker, until an event newer than events_seen() comes
  // or its keep-alive comment is due.
  virtual int more(std::string* out) = 0;
  // Descriptors it holds open, which count against the connection bound.
  virtual int descriptors() const { return 0; }
  // For a source that answers 3: the id of the newest event it has sent.
  virtual uint64_t events_seen() const { return 0; }
};

// An open file shared by the answers sending from it and the cache of recently answered files;
// the last holder closes it.
using shared_file = std::shared_ptr<plat_file>;

// What an answer could not send yet because the socket had no room: bytes, then a span of a
// file, then what a source still makes. The connection sends it when the socket is writable
// again, before reading further.
struct http_out {
  std::string bytes;
  size_t sent = 0;
  shared_file file;
  uint64_t file_offset = 0;
  uint64_t file_left = 0;
  std::unique_ptr<http_source> source;
  bool close_after = false;  // the connection ends once everything went
  // The file answer as the host sees it in its activity, while its body goes out; owned.
  stream_note* note = nullptr;
  uint64_t sent_total = 0;  // bytes handed to the socket over the connection's life
  // Where the file body now queued begins among them, and its size until its first turn
  // decided whether it needs a note (-1).
  uint64_t body_start = 0;
  int64_t body_size = -1;
  // The status of the answer going out, read from its status line as its first bytes leave;
  // whoever wants the next one's sets it to 0 while nothing waits here.
  int status = 0;
  ~http_out() { stream_end(note); }
  bool empty() const { return sent == bytes.size() && file_left == 0 && !source; }
};

// Sends what OUT holds, file bytes in calls of at most 256 KiB. 1 everything went; 2 the socket
// is full, or the source yields its turn (wait until it is writable); 3 the source waits for
// news (everything before it went); 0 a send failed, the file
// ended early, a source failed, or STOP (when given) said the server is stopping: an answer that
// could go on for minutes looks at it between sends.
int http_out_flush(plat_sock sock, http_out* out, bool (*stop)() = nullptr);

// Looks up NAME (ASCII case-insensitively) among QUERY's '&'-separated NAME=VALUE parameters
// and decodes the first match's value ('+' as space) into OUT of OUT_SIZE bytes.
// 0 found; -1 absent, malformed escape, or a value that does not fit.
int query_val(const char* query, const char* name, char* out, uint64_t out_size);

// Writes T (Unix seconds) as an HTTP date, "Sun, 06 Dec 2026 21:41:06 GMT", English names
// whatever the locale. "" when the time cannot be broken down.
void http_date(int64_t t, char out[HTTP_DATE_BYTES]);

// Appends the status line and the SERVER and DATE lines every answer begins with. 0 or -1.
// The date text is formatted at most once a second per thread.
int put_status_head(string_builder* sb, int status, const char* reason);
// Appends V in decimal ("%lld" without the format parser). 0 or -1.
int put_decimal(string_builder* sb, int64_t v);

// The head of an answer with a body of BODY_LEN bytes, built into SB (emptied first). 0 or -1.
int build_head(string_builder* sb, int status, const char* reason, const char* content_type,
               uint64_t body_len, const char* extra_headers, int keep_alive);
// Sends HEAD then BODY without waiting; what finds no room is kept in OUT, behind anything OUT
// already holds. false when the send failed.
bool send_or_keep(plat_sock sock, http_out* out, std::string_view head, std::string_view body);

// How the answers to one request go out.
struct http_reply {
  plat_sock sock;
  int head_only;   // the request was HEAD
  int keep_alive;  // the connection stays open after the answer
  string_builder* scratch;
  // Where an answer leaves what found no room, to go out later from the poller.
  http_out* out = nullptr;
};

// Answers one request: head and, unless R.head_only, BODY. true when everything was sent, or
// handed to R.out to send.
bool reply(const http_reply& r, int status, const char* reason, const char* content_type,
           std::string_view body, const char* extra_headers = nullptr);
