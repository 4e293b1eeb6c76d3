// stop_signals.cpp (POSIX): SIGINT and SIGTERM stop the serve command. SIGTERM stands in for the
// console break signal, so that a plain "kill PID" stops cleanly. SIGPIPE is ignored: a parent
// that closes its end of the console must not kill the server before kobas_stop runs. SIGTTIN
// and SIGTTOU are ignored: a server stopped for touching its terminal from the background
// would leave every client hanging.
#include "stop_signals.h"

#include <pthread.h>
#include <signal.h>

#include <csignal>

#include "kobas.h"

namespace {

// The only state the signal handler shares with the loop: set once, never cleared.
volatile std::sig_atomic_t g_quit = 0;

extern "C" void on_sig(int) {
  g_quit = 1;
}

constexpr int k_stop_signals[] = {SIGINT, SIGTERM};

}  // namespace

// Starts the server with the stop signals blocked, so that the accept and worker threads inherit
// a mask without them: a stop signal then always lands on this thread and cuts short its read.
// The previous mask returns before the handlers are in place, so a signal that arrived during the
// start still gets the default treatment.
int start_without_stop_signals(int (*start)()) {
  sigset_t stop_set;
  sigset_t previous;
  sigemptyset(&stop_set);
  for (int sig : k_stop_signals) sigaddset(&stop_set, sig);
  pthread_sigmask(SIG_BLOCK, &stop_set, &previous);
  const int rc = start();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return rc;
}

int start_server() {
  return start_without_stop_signals(kobas_start);
}

// Without SA_RESTART a read that waits on standard input returns when a stop signal arrives, and
// the loop sees the flag at once instead of after the next input line.
void install_stop_handlers() {
  struct sigaction sa {};
  sa.sa_handler = on_sig;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  for (int sig : k_stop_signals) sigaction(sig, &sa, nullptr);
}

bool stop_requested() {
  return g_quit != 0;
}

// Ignored rather than handled: the failed write itself (EPIPE) is what the loop looks at.
void keep_running_on_broken_pipe() {
  struct sigaction sa {};
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGPIPE, &sa, nullptr);
}

// With SIGTTIN ignored, a read from a terminal whose foreground is another process group fails
// with EIO (POSIX, "General Terminal Interface") instead of stopping the process: the loop
// treats it as a read that gave nothing and tries again after its pause. Asking tcgetpgrp before
// each read instead would leave a window between the question and the read, in which a
// process moved to the background would still be stopped.
void keep_running_in_background() {
  struct sigaction sa {};
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTTIN, &sa, nullptr);
  sigaction(SIGTTOU, &sa, nullptr);
}
