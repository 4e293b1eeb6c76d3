// activity.h: what the server is doing right now, for its host: the file answers whose bodies
// are on their way (who asked, for what, how far it got). A player keeps its machine awake while
// one runs, or shows who is watching what. Client addresses go to the host only, never over HTTP.
#pragma once

#include <cstdint>

#include "plat/plat.h"

struct stream_note;

// Notes a file answer of SIZE bytes for ROOT/REL whose body begins after BODY_START bytes of
// everything handed to SOCK on its connection, HANDED bytes of it handed already. Null when it
// cannot be noted (out of memory): the answer goes out all the same. The note reads SOCK until
// it ends: end it before SOCK is closed.
stream_note* stream_begin(plat_sock sock, const char* root, const char* rel, int64_t size,
                          uint64_t body_start, uint64_t handed);
// BYTES more of its body went. Null does nothing.
void stream_progress(stream_note* note, uint64_t bytes);
// The answer ended, whole or cut; frees the note. Null does nothing.
void stream_end(stream_note* note);

// How many connections are open; the listener's count.
int server_connections();
