/* Compiled as C against the installed form of the header: proves the header is C and that every
 * declared function is exported from the shared library. Exits non-zero on the first mismatch. */
#include <stdio.h>
#include <string.h>

#include "kobas.h"

static int failures = 0;

#define CHECK(cond)                                          \
  do {                                                       \
    if (!(cond)) {                                           \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
      failures++;                                            \
    }                                                        \
  } while (0)

static int on_change(const char* root, const char* detail, void* user) {
  (void)root;
  (void)detail;
  (void)user;
  return 0;
}

static int on_access(const kobas_access* record, void* user) {
  (void)record;
  ++*(int*)user;
  return 0;
}

int main(void) {
  int records = 0;
  int64_t first = -2, last = -2;
  int partial = -1;

  CHECK(strcmp(kobas_version(), "1.0.0") == 0);
  CHECK(kobas_parse_range("bytes=0-99,200-299", 1000, &first, &last, &partial) == 0);
  CHECK(first == 0 && last == 99 && partial == 1);
  CHECK(strcmp(kobas_mime_for("a.MKV"), "video/x-matroska") == 0);
  CHECK(kobas_safe_rel("a/../b") == 404);

  CHECK(kobas_config("Port", "80") == -1);
  CHECK(kobas_last_code() == -1);
  CHECK(strcmp(kobas_last_error(), "unknown key") == 0);
  CHECK(kobas_config("port", "0") == 0);
  CHECK(kobas_last_code() == 0 && strcmp(kobas_last_error(), "") == 0);

  CHECK(kobas_on_change(on_change, NULL) == 1);
  CHECK(kobas_add_root("here", ".") == 0);
  CHECK(kobas_root_count() == 1);
  CHECK(strncmp(kobas_roots_json(), "[{\"name\":\"here\"", 15) == 0);
  CHECK(kobas_listing_html("here", "")[0] == '<');
  CHECK(kobas_listing_json("here", "", 0, 1)[0] == '{');
  CHECK(strcmp(kobas_href_for("here", "a b", 1), "/here/a%20b/") == 0);
  kobas_poll_changes();
  CHECK(kobas_on_change(NULL, NULL) == 0);

  CHECK(kobas_config("access_records", "1") == 0);
  CHECK(kobas_start() == 0);
  CHECK(kobas_is_running() == 1);
  CHECK(kobas_port() > 0);
  kobas_stop();
  CHECK(kobas_poll_access(on_access, &records) == 0 && records == 0);
  CHECK(kobas_poll_access(NULL, NULL) == -1);
  CHECK(kobas_config("access_records", "0") == 0);
  CHECK(kobas_is_running() == 0 && kobas_port() == 0);
  CHECK(kobas_root_count() == 0);
  CHECK(kobas_remove_root("here") == -4);

  if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
  return failures ? 1 : 0;
}
