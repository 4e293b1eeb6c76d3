// changes_stream.h: GET /api/changes, the changes as a stream of server-sent events for remote
// players: a follower is a connection that waits parked between events, holding no worker.
#pragma once

#include "server/http.h"

// A parked follower is woken this often to send a comment: it keeps the connection alive
// through the middleboxes between, and finds a peer that is gone.
inline constexpr int CHANGES_KEEPALIVE_MS = 15000;

// Answers REQ with the head of the stream and what the client missed (by its Last-Event-ID),
// and leaves the rest to a source in R.out that sends each new event as it comes. true when
// everything was sent, or handed to R.out to send.
bool answer_changes(const http_reply& r, const http_request& req);
