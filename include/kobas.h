/* kobas.h: the C interface of libkobas, a small HTTP/1.1 file server that shares named roots
 * (folders or single files) with byte ranges, folder listings and a change watcher.
 *
 * Conventions for every function below:
 * - Texts are zero-terminated UTF-8.
 * - Every function except kobas_last_code and kobas_last_error first clears the calling thread's
 *   last error. A failing call stores a negative code and a message there:
 *   -1 bad argument, -2 wrong state, -3 socket failure, -4 not found or not usable,
 *   -5 resources exhausted, -6 fixed limit reached.
 * - A returned text lives in a buffer owned by the library; it stays valid until the next call
 *   (from any thread) that writes the same buffer. The caller never frees it. On failure such a
 *   function returns a constant empty text.
 */
#ifndef KOBAS_H
#define KOBAS_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(KOBAS_BUILDING)
#define KOBAS_API __declspec(dllexport)
#else
#define KOBAS_API __declspec(dllimport)
#endif
#else
#define KOBAS_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Change callback: called with a root's name (valid for the call only), a detail text (always
 * "") and the user value given to kobas_on_change. Its result is ignored. It runs on the thread
 * that ran the poll pass, with no library lock held, so it may call any kobas_ function. */
typedef int (*kobas_change_cb)(const char* root_name, const char* detail, void* user);

/* ---- Server control ---------------------------------------------------------------------- */

/* Sets one configuration key: bind_ip, port, threads, server_name, require_key, server_key,
 * access_records (0 or 1: keep a record of every finished answer for kobas_poll_access).
 * An empty or absent value restores the key's default (server_key: refused). Takes effect at the
 * next start (bind_ip, port, threads) or the next request (require_key, server_key).
 * Returns 0, or -1 with a message ("key required", "unknown key", "port 0..65535", ...). */
KOBAS_API int kobas_config(const char* key, const char* value);

/* Opens the listening socket and starts the accept thread and the workers.
 * Returns 0; -2 "already running"; -3 socket, bind or listen failure; -5 "thread start failed"
 * or "cannot watch sockets". */
KOBAS_API int kobas_start(void);

/* Stops a running server: joins every thread (each worker finishes its connection), closes the
 * listening and queued sockets and empties the root registry. Does nothing when none runs.
 * Returns only once the server has stopped, from any thread and however many stop at once (a
 * call that finds a start or another stop under way waits for it); kobas_start after any
 * returned stop succeeds. */
KOBAS_API void kobas_stop(void);

/* 1 while the server runs, else 0. */
KOBAS_API int kobas_is_running(void);

/* The bound port while running (the chosen one when configured with port 0), else 0. */
KOBAS_API int kobas_port(void);

/* The library version, "1.0.0"; a constant text. */
KOBAS_API const char* kobas_version(void);

/* ---- Roots ------------------------------------------------------------------------------- */

/* Registers NAME (1 to 128 of A-Z a-z 0-9 - . _, not starting with - or .) for PATH (a folder
 * or one file, at most 1,024 bytes), then runs one change-poll pass over it alone. Returns 0 or
 * -1, -4, -5, -6 with a message. */
KOBAS_API int kobas_add_root(const char* name, const char* path);

/* Removes a root. Returns 0, -1 "name required" or -4 "no root named NAME". */
KOBAS_API int kobas_remove_root(const char* name);

/* Number of registered roots. */
KOBAS_API int kobas_root_count(void);

/* The roots as a JSON array of {"name","path","kind"}; valid until the next call. */
KOBAS_API const char* kobas_roots_json(void);

/* ---- Content ----------------------------------------------------------------------------- */

/* The HTML index page of folder REL inside root ROOT_NAME; valid until the next call.
 * Empty text on failure with -1, -4 or -6 and a message. */
KOBAS_API const char* kobas_listing_html(const char* root_name, const char* rel);

/* One page of the JSON listing: entries OFFSET (negative: 0) to OFFSET+LIMIT-1 (LIMIT outside
 * 1..500: 500); valid until the next call. Empty text on failure, as kobas_listing_html. */
KOBAS_API const char* kobas_listing_json(const char* root_name, const char* rel, int offset,
                                         int limit);

/* The link path "/ROOT/REL" with each segment percent-encoded, "/" appended for a folder.
 * Empty text when longer than 2,047 bytes or when a segment of REL is longer than 1,099 bytes.
 * Shares its buffer with kobas_mime_for. */
KOBAS_API const char* kobas_href_for(const char* root_name, const char* rel, int is_dir);

/* ---- Request primitives ------------------------------------------------------------------ */

/* Parses a Range header against a resource of SIZE bytes into the inclusive span FIRST..LAST
 * (each output optional). Returns 0 satisfiable (PARTIAL 1 when a list was cut to its first
 * range), 1 no header, -1 malformed, 416 not satisfiable. Sets no message. */
KOBAS_API int kobas_parse_range(const char* header, int64_t size, int64_t* first, int64_t* last,
                                int* partial);

/* The media type for a file name's extension; valid until the next call of kobas_mime_for or
 * kobas_href_for. */
KOBAS_API const char* kobas_mime_for(const char* name);

/* 0 when a relative path is safe to resolve inside a root, 400 malformed, 404 dot segment. */
KOBAS_API int kobas_safe_rel(const char* rel);

/* ---- Changes ----------------------------------------------------------------------------- */

/* Registers the change callback (NULL switches reports off). Returns 1 with a callback, else 0.
 * Returns once no call of an earlier callback runs on another thread (calls on the calling
 * thread, or on a thread itself waiting here, are not waited for). */
KOBAS_API int kobas_on_change(kobas_change_cb cb, void* user);

/* Runs one change-poll pass on the calling thread: records every root's fingerprint and reports
 * at most one changed root, the oldest unreported change; the others wait for later passes. */
KOBAS_API void kobas_poll_changes(void);
/* Every change a pass reports (or, without a callback, absorbs) and every add or removal of a
 * root also goes, after the callback returns and never through host code, to the clients that
 * follow GET /api/changes (server-sent events; the last 256 are kept for reconnects). */

/* ---- Activity ---------------------------------------------------------------------------- */

/* What the server is doing now, as one line of JSON: {"connections":N,"streams":[{"client":
 * "IP:PORT","root":"NAME","rel":"REL","sent":BYTES,"size":BYTES,"since_unix":S},...]}, one
 * stream per file answer whose body is going out ("sent": the body bytes the client has taken
 * so far, as far as the system tells; "size": the file's). Client addresses go to the host only,
 * never over HTTP. Valid until the next
 * kobas_activity_json from any thread; "" on failure (-5 "out of memory"). */
KOBAS_API const char* kobas_activity_json(void);

/* ---- Access records -------------------------------------------------------------------- */

/* One finished answer, as kobas_poll_access hands it over. Texts are valid for the call only. */
typedef struct kobas_access {
  int64_t time_ms;        /* when its request head was complete: ms since 1970-01-01 UTC */
  const char* client_ip;  /* the client's IPv4 address, dotted; "" when unknown */
  int client_port;        /* 0 when unknown */
  const char* method;     /* as received; "" for a head the server refused (400, 431, 505) */
  const char* target;     /* path and query as received; "" for a refused head */
  const char* protocol;   /* "HTTP/1.1" or "HTTP/1.0"; "" for a refused head */
  int status;             /* the answer's status, 200 ... 505 */
  int64_t bytes_sent;     /* bytes the system took for the answer, head included */
  int64_t duration_us;    /* from the complete head to the last byte sent, in microseconds */
  const char* root;       /* the root its target was found in; "" when none */
  int64_t dropped_before; /* records lost just before this one (full queue) */
} kobas_access;

/* Access callback: called once per record; its result is ignored. It runs on the thread that
 * called kobas_poll_access, with no library lock held, so it may call any kobas_ function. */
typedef int (*kobas_access_cb)(const kobas_access* record, void* user);

/* Hands every record queued when the call began to CB, oldest first, and removes it. Records
 * are kept only while the configuration key access_records is 1; the queue holds the newest
 * 4,096, a full queue dropping the oldest (counted in dropped_before of the next record).
 * Returns the number handed over; -1 "callback required"; -5 "out of memory". */
KOBAS_API int kobas_poll_access(kobas_access_cb cb, void* user);

/* ---- Errors ------------------------------------------------------------------------------ */

/* The calling thread's last result code: 0 or negative. */
KOBAS_API int kobas_last_code(void);

/* The calling thread's last message ("" after a success); valid while the thread lives. */
KOBAS_API const char* kobas_last_error(void);

#ifdef __cplusplus
}
#endif

#endif /* KOBAS_H */
