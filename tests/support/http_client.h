// http_client.h: a small loopback HTTP client for the server tests. It sends exact bytes and
// reads answers as a client sees them: status line, header lines in order, body by
// Content-Length. Every read has a time-out, so a server that hangs fails a test in seconds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct http_response {
  std::string status_line;  // "HTTP/1.1 200 OK"
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // as received, in order
  std::string body;

  // The value of the first header named NAME (ASCII case ignored); "" when absent.
  std::string header(std::string_view name) const;
  bool has_header(std::string_view name) const;
  // "Name: value" for every header, in order: what a test compares with a literal list.
  std::vector<std::string> header_lines() const;
};

class http_client {
 public:
  // Connects to 127.0.0.1:PORT; connected() tells whether that worked. A nonzero
  // RECEIVE_BUFFER makes the socket receive into about that many bytes in segments of an
  // Ethernet LAN (1,460 bytes) rather than loopback's 64 KiB: a player on a network.
  explicit http_client(int port, int timeout_ms = 5000, int receive_buffer = 0);
  ~http_client();
  http_client(const http_client&) = delete;
  http_client& operator=(const http_client&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool send(std::string_view bytes);
  // Reads one answer. The body is read by Content-Length unless HEAD_ONLY (the answer to a
  // HEAD request has none). false on time-out, close or a malformed head.
  bool read_response(http_response* out, bool head_only = false);
  // Reads one answer's head only; the body is left for read_body.
  bool read_head(http_response* out);
  // Hands N body bytes to SINK piece by piece without keeping them. false on time-out/close.
  bool read_body(uint64_t n, const std::function<void(const char*, size_t)>& sink);
  // Reads a body of unknown length (a stream) up to and including MARKER into OUT. false on
  // time-out or close before it came.
  bool read_until(std::string_view marker, std::string* out);
  // true when the server closed the connection (end of stream or reset) before TIMEOUT_MS
  // passed and before any further byte arrived.
  bool closed_by_peer(int timeout_ms = 5000);
  // true when bytes (or the end of the stream) are there to read within TIMEOUT_MS.
  bool readable(int timeout_ms);
  // true once a read found the end of the stream or a reset (not a time-out).
  bool saw_close() const { return saw_close_; }
  // true once a read found a reset: the peer closed without reading all that was sent to it,
  // and whatever of its answer was not read yet may be lost.
  bool saw_reset() const { return saw_reset_; }
  // Bytes received so far but not yet consumed by a read.
  size_t pending() const { return buf_.size(); }
  void close();

 private:
  // Receives up to MAX more bytes into buf_; false on time-out, close or error.
  bool fill(size_t max = 65536);
  int64_t fd_ = -1;  // a socket of any width; negative when closed
  int timeout_ms_;
  std::string buf_;
  bool saw_close_ = false;
  bool saw_reset_ = false;
};

// One request on a fresh connection, its answer read; status 0 when none came.
http_response http_once(int port, std::string_view request, bool head_only = false);
