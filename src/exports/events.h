// events.h: the last changes, kept for the clients that follow them over HTTP. Each change a
// pass of the watcher finds, and each add or removal of a root, becomes one numbered event in a
// ring shared by the whole process; a follower asks for what came after the last id it saw, so
// one that reconnects misses nothing the ring still holds.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// How many events the ring keeps; a follower further behind must start afresh.
inline constexpr uint64_t EVENTS_KEPT = 256;

// Adds an event "change" for ROOT_NAME with DETAIL, then tells the waiting followers.
void events_change(const char* root_name, const char* detail);
// Adds an event "roots" carrying the /api/folders object as it is now, then tells the followers.
void events_roots();

// The id of the newest event; 0 before the first. Ids only grow, for the life of the process.
uint64_t events_last_id();

// What a follower that has seen up to AFTER gets next.
enum class events_catch_up {
  none,    // nothing newer
  events,  // the newer events were appended, each ready to send
  reset,   // AFTER is older than what the ring keeps, or newer than any given: start afresh
};
// Appends to OUT the events after AFTER in the stream's own form ("id: N\nevent: ...\ndata:
// ...\n\n"), at most the whole ring, and sets *LAST to the newest id appended (or, after a
// reset, the newest id there is, from which the follower goes on).
events_catch_up events_since(uint64_t after, std::string* out, uint64_t* last);

// The server's hook, called after every new event with no lock held: it wakes the followers
// waiting in its pollers. Set once a server exists; the watcher never calls server code itself.
void events_set_notify(void (*notify)());
