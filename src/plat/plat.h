// plat.h: the platform layer. Everything that differs between operating systems sits behind
// these functions: files and folders, threads and locks, clocks, and the few socket calls of the
// server. Paths are UTF-8 here; the layer never touches the last error and never decides policy.
// This header includes no OS header; one implementation per OS lives in plat/<os>/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// ---- Files and folders -------------------------------------------------------------------------

// Filled by plat_stat. Kind, size and time describe the target of a link; is_link says whether
// the path itself is a symbolic link. At most one of is_dir and is_file is 1 after a success;
// neither for a FIFO, a socket or a device, which are never listed or served.
struct plat_stat_rec {
  int32_t is_dir;
  int32_t is_file;  // a regular file
  int32_t is_link;
  int64_t size;   // bytes
  int64_t mtime;  // seconds since 1970-01-01 UTC; negative before
  // The part of the modification time below a second, in nanoseconds (0..999,999,999), as fine
  // as the file system records it: a file rewritten within one second still changes it.
  int32_t mtime_ns;
};

// 0, or -1 with every field of OUT set to 0. FLAG is accepted for the callers' sake and unused.
int plat_stat(const char* path, plat_stat_rec* out, int flag);

// Absolute, normalised form of PATH (relative paths are taken against the current folder), with
// the links of its existing part resolved, so that containment can be decided on the text. The
// path need not exist. Heap text the caller frees with free(); null on failure.
char* plat_realpath(const char* path);

// 1 when PATH (a plat_realpath result) is ROOT itself or lies below it, else 0. Byte-exact on
// every platform: both texts come from the system for what was opened, and a case-sensitive
// folder holds siblings that differ only in letter case. An empty ROOT contains nothing.
int plat_path_under(const char* path, const char* root);

struct plat_dir;  // opaque; one thread at a time

// Opens a folder for enumeration; a trailing "/" or "\" is accepted; "" is the current folder.
plat_dir* plat_opendir(const char* path);
// The next entry name, never "." or ".."; owned by the handle and valid until the next call on
// it. Null at the end (or on a failure, which also ends the enumeration).
const char* plat_readdir(plat_dir* dir);
void plat_closedir(plat_dir* dir);  // null does nothing
// Starts the enumeration of DIR again from its first entry.
void plat_rewinddir(plat_dir* dir);
// 1 when the platform never opens a component named NAME as what it says (Windows: a device
// name such as "COM3" or "aux.mp3", or a name ending in a space or a dot, which the system
// trims); such names are neither listed nor served. 0 where every name is itself (POSIX).
int plat_name_reserved(const char* name);
// The next entry name like plat_readdir, with OUT filled as plat_stat would fill it for
// FOLDER/NAME; all fields 0 when the entry cannot be examined. Examines the entry relative to
// the open folder, so a listing costs no path building and one lookup per plain entry.
const char* plat_readdir_stat(plat_dir* dir, plat_stat_rec* out);

// What a folder entry is, as far as the folder itself records it (no lookup of the entry).
inline constexpr int PLAT_KIND_UNKNOWN = 0;  // not recorded: examine the entry to know
inline constexpr int PLAT_KIND_DIR = 1;
inline constexpr int PLAT_KIND_OTHER = 2;  // a regular file, as far as the folder says
inline constexpr int PLAT_KIND_LINK = 3;
inline constexpr int PLAT_KIND_SPECIAL = 4;  // a FIFO, socket or device
// The next entry name like plat_readdir, with *OUT_KIND from the folder's own record.
const char* plat_readdir_kind(plat_dir* dir, int* out_kind);
// plat_stat for the entry NAME of the open folder DIR, looked up relative to it.
int plat_stat_at(plat_dir* dir, const char* name, plat_stat_rec* out);

// plat_realpath, with OUT filled as plat_stat would fill it for the result (all fields 0 when
// the result cannot be examined or there is none). Reuses what the resolving walk learnt about
// the last component instead of looking the whole path up twice more.
char* plat_realpath_stat(const char* path, plat_stat_rec* out);
// plat_realpath_stat of ROOT_RESOLVED + "/" + REL, for a ROOT_RESOLVED that is itself a
// plat_realpath result: the walk starts at the root instead of examining each of its components
// again, and follows links below it exactly as plat_realpath does (the same text comes back). A
// root swapped for a link after it was resolved is not noticed. REL "" resolves the root.
char* plat_realpath_stat_under(const char* root_resolved, const char* rel, plat_stat_rec* out);

// Opaque. Reads at an offset (plat_fread_at, the file senders) may run on several threads at
// once: none of them moves a shared position. Closing is for the last holder.
struct plat_file;

// Opens an existing regular file for reading, without blocking on FIFOs or devices (they are
// refused). Null on failure.
plat_file* plat_fopen_read(const char* path);
// Reads up to N bytes at OFFSET: bytes read, 0 at or past the end, -1 on failure.
int64_t plat_fread_at(plat_file* f, uint64_t offset, void* buf, uint32_t n);
void plat_fclose(plat_file* f);  // null does nothing

// 1 where a file held open cannot be replaced by a rename, nor its name used again after a
// delete, until it is closed (Windows); 0 where the name is free at once (POSIX).
int plat_open_file_blocks_changes();

// Kind, size and time of the open file F, as plat_stat reports them.
int plat_fstat(plat_file* f, plat_stat_rec* out);

// ---- Opening beneath a root --------------------------------------------------------------------

// A root folder held open, so that what a request names is looked up from the folder itself and
// not from its path text. Any thread may open beneath one root at once.
struct plat_root;
// Opens the folder at PATH (an absolute, resolved path) without following a link anywhere on
// it; null when it is no folder or the path leads through a link (a root's path swapped for a
// link must not carry the share elsewhere).
plat_root* plat_root_open(const char* path);
void plat_root_close(plat_root* root);  // null does nothing

// What plat_open_beneath opened: exactly one of FILE (a regular file) and DIR (a folder), owned
// by the caller, and ST from that very handle.
struct plat_opened {
  plat_file* file;
  plat_dir* dir;
  plat_stat_rec st;
};

// Opens REL ('/'-separated components; "" is the root itself) beneath ROOT in one step, links
// inside the root followed, and fills OUT. 0, or -1 (OUT empty) when the target is missing,
// any step leads out of the root (a "..", an absolute link, a link that climbs out), a name the
// platform reserves is asked for, the target is neither a folder nor a regular file (known
// before it is opened for reading, so a FIFO or device never is), or the target's own path below
// the root, as opened (links followed, Windows short names spelt out), has a hidden component:
// one beginning with "." or, on Windows, a folder marked hidden or system. Containment and
// hiding are decided on what was opened, never on the text of REL; this layer decides hiding
// because only it knows the path it really opened.
int plat_open_beneath(const plat_root* root, const char* rel, plat_opened* out);
// plat_open_beneath by the platform's fallback lookup alone (where it has one), for kernels
// without the one-step lookup and for tests that hold both ways to the same rules.
int plat_open_beneath_walked(const plat_root* root, const char* rel, plat_opened* out);
// Opens the regular file or folder at PATH (an absolute, resolved path), its kind known before
// it is opened for reading, without following a link anywhere on PATH (Windows: the handle's
// final path must be PATH itself). 0, or -1 (OUT empty). For a file root, opened afresh for
// every request.
int plat_open_path(const char* path, plat_opened* out);
// Closes whatever OUT holds and empties it.
void plat_opened_close(plat_opened* out);

// ---- Sockets -----------------------------------------------------------------------------------

// Wide enough for every platform's socket value; PLAT_NO_SOCK stands for no socket.
using plat_sock = int64_t;
inline constexpr plat_sock PLAT_NO_SOCK = -1;

int plat_net_init();                // 0 ready, -1 failure; later calls after a success do nothing
void plat_sock_close(plat_sock s);  // PLAT_NO_SOCK does nothing
int plat_sock_errno();              // the calling thread's last socket error code

// Waits up to TIMEOUT_MS (negative: no limit, 0: only looks) on one socket. EVENTS: 1 readable,
// 2 writable. Result -1 error, 0 time-out, else a mask: 1 readable, error or hang-up; 2 writable.
int plat_poll1(plat_sock s, int events, int timeout_ms);

// A TCP/IPv4 stream socket, not inherited by child processes; PLAT_NO_SOCK on failure.
plat_sock plat_tcp_socket();
int plat_sock_reuseaddr(plat_sock s);  // SO_REUSEADDR on; 0 or -1
int plat_sock_nodelay(plat_sock s);    // TCP_NODELAY on; 0 or -1
// Bounds how long one send may make no progress; 0 or -1.
int plat_sock_send_timeout(plat_sock s, int timeout_ms);
// Sets how long one plat_recv_wait on S waits for bytes; 0 or -1.
int plat_sock_recv_timeout(plat_sock s, int timeout_ms);
// Binds to IPV4 (host byte order, a*2^24 + b*2^16 + c*2^8 + d) and PORT, then listens.
int plat_sock_bind_listen(plat_sock s, uint32_t ipv4, uint16_t port, int backlog);
int plat_sock_local_port(plat_sock s);  // the bound port, or -1
plat_sock plat_sock_accept(plat_sock listener);  // PLAT_NO_SOCK on failure
// The address (host order) and port of S's peer. 0, or -1 when the system cannot tell.
int plat_sock_peer(plat_sock s, uint32_t* ipv4, int* port);
// Accepts one waiting connection of a non-blocking LISTENER without waiting, as a non-blocking
// socket. PLAT_NO_SOCK when none waits, or on a failure, which sets *FAILED to 1 (running out of
// descriptors among them: trying again at once would fail again).
plat_sock plat_sock_accept_nb(plat_sock listener, int* failed);

// One receive: bytes received, 0 when the peer closed, -1 on error (interrupted calls retried).
int64_t plat_recv(plat_sock s, void* buf, size_t n);
// One receive that waits at most the socket's receive time-out (plat_sock_recv_timeout): as
// plat_recv, or -2 when nothing arrived in that time. Where the system bounds a blocking receive
// itself, this is one call, where a poll and a receive would be two on every request.
int64_t plat_recv_wait(plat_sock s, void* buf, size_t n);
// One send that never raises SIGPIPE: bytes sent (maybe fewer than N), -1 on error or when the
// send time-out passed, with or without partial progress (a peer that stopped reading).
int64_t plat_send(plat_sock s, const void* buf, size_t n);

// Sends COUNT bytes of F from OFFSET on S: the file-body path of the server (zero-copy where the
// platform has it). Returns the bytes sent; fewer than COUNT when the file ended early, a read
// failed, a send failed, or the peer took no room for the socket's send time-out (so a reader
// that stopped holds the caller about one time-out, not one per call).
uint64_t plat_send_file(plat_sock s, plat_file* f, uint64_t offset, uint64_t count);
// HEAD_LEN bytes of HEAD, then COUNT bytes of F from OFFSET, as plat_send_file; a small file
// leaves in one segment with its head. Returns the bytes sent, head included: HEAD_LEN + COUNT
// when everything went.
uint64_t plat_send_head_file(plat_sock s, const void* head, size_t head_len, plat_file* f,
                             uint64_t offset, uint64_t count);
// One gathered send of A then B (either may be empty): bytes sent (maybe fewer than NA + NB),
// -1 on error or send time-out. Spares copying a large body behind its head.
int64_t plat_send2(plat_sock s, const void* a, size_t na, const void* b, size_t nb);

// Switches S to non-blocking mode for good: the calls below that wait (plat_send, plat_send2,
// plat_send_head_file, plat_send_file) still wait for room themselves, up to the send time-out.
int plat_sock_nonblocking(plat_sock s);

// What the non-blocking calls return when the socket has no bytes, or no room, right now.
inline constexpr int64_t PLAT_AGAIN = -2;
// One receive that never waits: bytes received, 0 when the peer closed, PLAT_AGAIN, -1 on error.
int64_t plat_recv_nb(plat_sock s, void* buf, size_t n);
// One gathered send of A then B that never waits: bytes sent (maybe fewer), PLAT_AGAIN, or -1.
int64_t plat_send_nb(plat_sock s, const void* a, size_t na, const void* b, size_t nb);
// Sends up to COUNT bytes of F from OFFSET without waiting (zero-copy where the platform has it):
// bytes sent (fewer than COUNT when the socket filled up), PLAT_AGAIN when it had no room at
// all, 0 when the file ended before OFFSET + 1, -1 on error.
int64_t plat_send_file_nb(plat_sock s, plat_file* f, uint64_t offset, uint64_t count);

// HEAD_LEN bytes of HEAD, then up to COUNT bytes of F from OFFSET (F may be null when COUNT is
// 0), without waiting; a small file leaves in one segment with its head. Bytes sent, head
// included (fewer than HEAD_LEN + COUNT when the socket filled up or the file ended),
// PLAT_AGAIN when nothing could be sent, -1 on error.
int64_t plat_send_head_file_nb(plat_sock s, const void* head, size_t head_len, plat_file* f,
                               uint64_t offset, uint64_t count);

// How many sockets and files this process may hold open at once.
int plat_open_files_limit();
// 1 when the calling thread's last failed open or accept failed because the process (or the
// system) had no descriptor left, else 0. Read it right after the failure.
int plat_no_descriptors();
// Holds one descriptor back for plat_sock_refuse_waiting, while descriptors are still to be had
// (later calls do nothing while it is held).
void plat_descriptor_reserve();
// Accepts one connection waiting on LISTENER with the descriptor held in reserve, sends
// it the N bytes of MSG and closes it gently: for when the process has no descriptor left to
// accept with, so that a newcomer is told so instead of waiting unanswered. 0, or -1 when none
// waited or it failed.
int plat_sock_refuse_waiting(plat_sock listener, const void* msg, size_t n);

// Shuts S down for sending: the peer reads every byte sent so far, then the end of the stream.
// 0 or -1.
int plat_sock_shutdown_write(plat_sock s);
// Shuts S down for sending, drops what the peer has already sent, and closes it. Closing with
// unread bytes would send a reset, which makes the peer throw away the answer it has not read
// yet; a peer that sends more after this may still see one.
void plat_sock_close_gently(plat_sock s);
// Keeps at most about UNSENT_BYTES that were not sent yet queued in S, so that S is reported
// writable as the peer takes bytes, not only once a send buffer grown to megabytes is half
// empty. 0, or -1 where the platform has no such limit.
int plat_sock_pace(plat_sock s, int unsent_bytes);
// How many bytes the peer of S has acknowledged so far: a count that grows exactly when the
// client takes bytes, whatever the socket reports as room. -1 where the platform cannot tell.
int64_t plat_sock_acked(plat_sock s);

// ---- Waiting for many sockets ------------------------------------------------------------------

// One poller over many sockets: epoll on Linux, WSAPoll on Windows. A socket is watched one-shot:
// once reported it is not reported again until armed again. Several threads may wait at once;
// each report goes to exactly one of them, so whichever thread took it has the socket alone.
// Arming, forgetting and expiring are safe from any thread.
struct plat_poller;
plat_poller* plat_poller_open();         // null on failure
void plat_poller_close(plat_poller* p);  // null does nothing; the sockets stay open
// Watches S for EVENTS (1 readable, 2 writable) until reported; KEY comes back with the report.
// 0 or -1.
int plat_poller_arm(plat_poller* p, plat_sock s, int events, void* key);
// Stops watching S; call before closing a socket that was ever armed.
void plat_poller_forget(plat_poller* p, plat_sock s);
// Ends S's connection for whoever holds it: if S is armed its report comes at once, as a
// hang-up (on Linux the socket is shut down to make it so). For a wait that ran out: the thread
// that takes the one report closes the socket.
void plat_poller_expire(plat_poller* p, plat_sock s);
struct plat_ready {
  void* key;
  int events;  // 1 readable, error or hang-up; 2 writable
};
// Waits up to TIMEOUT_MS (negative: no limit) and fills at most MAX reports: their count, 0 on a
// time-out or after plat_poller_wake, -1 on failure.
int plat_poller_wait(plat_poller* p, plat_ready* out, int max, int timeout_ms);
// Ends every current and later plat_poller_wait at once, for good: for shutting down. Safe from
// any thread.
void plat_poller_wake(plat_poller* p);

// ---- Folder change notifications -------------------------------------------------------------

// Tells, without a look at the disk, that something in a watched folder changed: an entry made,
// removed, renamed, written or given other attributes. Linux: inotify, whose reports arrive
// through the pollers (plat_poller_watch_notify). Windows: a change notification handle per
// folder, asked about with plat_notify_check. Used to let go early of what was learnt about
// files; never to decide what may be opened. One thread at a time.
struct plat_notify;
plat_notify* plat_notify_open();         // null where the system offers none, or on failure
void plat_notify_close(plat_notify* n);  // null does nothing
// Watches the folder at PATH: an id, or -1.
int plat_notify_add(plat_notify* n, const char* path);
void plat_notify_remove(plat_notify* n, int id);
// Reads the reports that arrived without waiting and calls FN(USER, ID) for each folder
// reported changed; ID -1 when reports were lost and every folder must be taken as changed.
void plat_notify_drain(plat_notify* n, void (*fn)(void* user, int id), void* user);
// 1 when the folder ID changed since it was added or last asked about, without waiting, where
// reports are asked for per folder (Windows); always 0 where they come through the pollers.
int plat_notify_check(plat_notify* n, int id);
// Has P report KEY (as readable) for as long as reports wait in N, to every thread waiting on
// it: 0, or -1 where reports do not come through pollers.
int plat_poller_watch_notify(plat_poller* p, plat_notify* n, void* key);

// ---- Memory -------------------------------------------------------------------------------------

// BYTES (rounded up to whole pages) straight from the system, zero-filled: pages cost memory
// only once touched, and plat_pages_free hands all of them back at once instead of leaving them
// in an allocator's pool. For large tables whose size is known only at the end: reserve the
// most they can need, use what they do. Null when the system refuses.
void* plat_pages_alloc(uint64_t bytes);
void plat_pages_free(void* p, uint64_t bytes);  // BYTES as allocated; null does nothing

// ---- Threads and locks -------------------------------------------------------------------------

using plat_thread = void*;  // a started thread, joined exactly once

// Starts FN(ARG) on a new thread with a 1 MiB stack. 0 and *OUT set, or -1.
int plat_thread_start(plat_thread* out, void (*fn)(void*), void* arg);
void plat_thread_join(plat_thread t);  // waits for the end, releases the handle
// How many processors this process may run on (its affinity, not the machine's count); at
// least 1.
int plat_cpu_count();

// Storage for the platform's mutex and condition variable, owned by the caller. Not re-entrant.
struct plat_mutex {
  alignas(16) unsigned char storage[64];
};
struct plat_cond {
  alignas(16) unsigned char storage[64];
};

void plat_mutex_init(plat_mutex* m);
void plat_lock(plat_mutex* m);
void plat_unlock(plat_mutex* m);
void plat_mutex_destroy(plat_mutex* m);
void plat_cond_init(plat_cond* c);
// With M held: releases it, waits for a broadcast or MS milliseconds, holds it again.
// Nonzero when woken, 0 on time-out. Spurious wake-ups happen: callers re-check.
int plat_cond_wait_ms(plat_cond* c, plat_mutex* m, int ms);
void plat_cond_broadcast(plat_cond* c);
void plat_cond_destroy(plat_cond* c);

// Holds a plat_mutex for a scope.
class plat_lock_guard {
 public:
  explicit plat_lock_guard(plat_mutex* m) : m_(m) { plat_lock(m_); }
  ~plat_lock_guard() { plat_unlock(m_); }
  plat_lock_guard(const plat_lock_guard&) = delete;
  plat_lock_guard& operator=(const plat_lock_guard&) = delete;

 private:
  plat_mutex* m_;
};

// ---- Clocks ------------------------------------------------------------------------------------

int64_t plat_wall_s();  // seconds since 1970-01-01 00:00:00 UTC
// Breaks T down as UTC (thread-safe). 0, or nonzero with OUT unspecified.
int plat_gmtime(int64_t t, std::tm* out);
uint64_t plat_now_ms();  // monotonic milliseconds
void plat_sleep_ms(int ms);
