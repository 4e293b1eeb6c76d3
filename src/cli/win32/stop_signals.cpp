// stop_signals.cpp (Windows): Ctrl+C (SIGINT) and Ctrl+Break or a console close (SIGBREAK) stop
// the serve command. The runtime calls the handler on a thread of its own, so the flag is atomic.
// Windows has no SIGPIPE: a write to a pipe whose reader has gone fails (ERROR_NO_DATA) and the
// runtime marks the stream, which is what the loop looks at.
#include "stop_signals.h"

#include <atomic>
#include <csignal>

#include "kobas.h"

namespace {

// The only state the signal handler shares with the loop: set once, never cleared.
std::atomic<int> g_quit{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag must be safe in a handler");

extern "C" void on_sig(int) {
  g_quit.store(1);
}

}  // namespace

// Console control events go to their own thread here, never to the server's threads.
int start_server() {
  return kobas_start();
}

int start_without_stop_signals(int (*start)()) {
  return start();
}

void install_stop_handlers() {
  std::signal(SIGINT, on_sig);
  std::signal(SIGBREAK, on_sig);
}

bool stop_requested() {
  return g_quit.load() != 0;
}

// Nothing to switch off: see the top of this file.
void keep_running_on_broken_pipe() {}

// A Windows console has no background process groups: nothing stops a process that reads it.
void keep_running_in_background() {}
