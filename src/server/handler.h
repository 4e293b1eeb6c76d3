// handler.h: one accepted connection, from its first request to its close.
#pragma once

#include "plat/plat.h"

// Serves requests on SOCK until the client closes or falls silent, a request is refused, an
// "HTTP/1.0" request or the 1,000th request has been answered, or a send fails. Takes
// ownership of SOCK and closes it before returning. Runs on a worker thread; uses the thread's
// receive buffer, so one connection per thread at a time.
void serve_conn(plat_sock sock);
