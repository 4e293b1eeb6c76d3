/* host.c: embeds libkobas the way a media player does. It shares one folder (or file) as a named
 * root on 127.0.0.1, prints the root's URL, reports changes in the shared folder once a second,
 * and shuts the server down cleanly on Ctrl-C or SIGTERM.
 *
 *   kobas_host NAME=PATH [PORT]      (PORT 0, the default, lets the system choose)
 */
#define _POSIX_C_SOURCE 200809L

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "kobas.h"

/* Set by the signal handler, read by the main loop: the one signal-safe way to ask for a stop. */
static volatile sig_atomic_t g_stop = 0;

static void on_signal(int sig) {
  (void)sig;
  g_stop = 1;
}

/* Runs on the thread that polls (here the main thread) with no library lock held. */
static int on_change(const char* root_name, const char* detail, void* user) {
  (void)detail;
  (void)user;
  printf("change %s\n", root_name);
  return fflush(stdout);
}

static int fail(const char* what) {
  fprintf(stderr, "kobas_host: %s: %s (code %d)\n", what, kobas_last_error(), kobas_last_code());
  return 1;
}

static int install_handlers(void) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  /* No SA_RESTART: the one-second sleep ends early, so a stop request is seen at once. */
  if (sigaction(SIGINT, &sa, NULL) != 0) return -1;
  if (sigaction(SIGTERM, &sa, NULL) != 0) return -1;
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: %s NAME=PATH [PORT]\n", argv[0]);
    return 2;
  }

  /* Split NAME=PATH in a copy; the library copies both texts, so the buffer may go after. */
  char name[160];
  const char* eq = strchr(argv[1], '=');
  size_t name_len = eq ? (size_t)(eq - argv[1]) : 0;
  if (name_len == 0 || name_len >= sizeof name) {
    fprintf(stderr, "kobas_host: expected NAME=PATH, got %s\n", argv[1]);
    return 2;
  }
  memcpy(name, argv[1], name_len);
  name[name_len] = '\0';
  const char* path = eq + 1;

  if (kobas_config("bind_ip", "127.0.0.1") != 0) return fail("bind_ip");
  if (kobas_config("port", argc == 3 ? argv[2] : "0") != 0) return fail("port");
  kobas_on_change(on_change, NULL);
  if (kobas_add_root(name, path) != 0) return fail("add root");
  if (kobas_start() != 0) return fail("start");

  /* Handlers go in once the server runs: an earlier Ctrl-C simply ends the process. */
  if (install_handlers() != 0) {
    kobas_stop();
    fprintf(stderr, "kobas_host: cannot install signal handlers\n");
    return 1;
  }

  /* kobas_href_for encodes the name as a link path ("/NAME/"); copy it out before the next call
   * that could reuse the library's buffer. */
  char href[2048];
  snprintf(href, sizeof href, "%s", kobas_href_for(name, "", 1));
  printf("http://127.0.0.1:%d%s\n", kobas_port(), href);
  fflush(stdout);

  while (!g_stop) {
    sleep(1);
    if (!g_stop) kobas_poll_changes();
  }

  /* Waits for the workers to finish the connections they serve, then unregisters the roots. */
  kobas_stop();
  return 0;
}
