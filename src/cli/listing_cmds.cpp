// listing_cmds.cpp: the commands html, json and href, which print what the server would answer
// for a folder, or the link it would give an entry, without starting it. html and json register
// their one root in this process; href needs none. The status follows the library's last code.
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "kobas.h"

namespace {

// The listing's own default page size, used when OFFSET and LIMIT are not both given.
constexpr int k_default_limit = 500;

// Prints a listing or link text and turns the library's last code into the status: the message
// of a failed call is never printed, the empty line and status 1 report it.
int print_result(const char* text) {
  std::printf("%s\n", text);
  return kobas_last_code() != 0 ? 1 : 0;
}

}  // namespace

int cli_root(const char* word, char (&name)[k_root_name_bytes]) {
  const char* path = nullptr;
  if (split_root_word(word, name, &path) != root_word::ok) {
    usage();
    return -1;
  }
  if (kobas_add_root(name, path) == 0) return 0;
  std::fprintf(stderr, "root: %s\n", kobas_last_error());
  return -1;
}

// A malformed NAME=PATH word prints the usage text, yet ends with status 1: only the dispatcher's
// own usage errors give 2.
int cmd_html(int argc, char** argv) {
  char name[k_root_name_bytes];
  if (cli_root(argv[2], name) != 0) return 1;
  const char* rel = argc > 3 ? argv[3] : "";
  return print_result(kobas_listing_html(name, rel));
}

int cmd_json(int argc, char** argv) {
  char name[k_root_name_bytes];
  if (cli_root(argv[2], name) != 0) return 1;
  const int words_after = argc - 2;
  const char* rel = words_after >= 2 ? argv[3] : "";
  int offset = 0;
  int limit = k_default_limit;
  // OFFSET counts only together with LIMIT; the listing clamps both to its own ranges.
  if (words_after >= 4) {
    offset = read_int_saturated(argv[4]);
    limit = read_int_saturated(argv[5]);
  }
  return print_result(kobas_listing_json(name, rel, offset, limit));
}

int cmd_href(int argc, char** argv) {
  const int is_dir = argc > 4 && read_number(argv[4]) != 0 ? 1 : 0;
  return print_result(kobas_href_for(argv[2], argv[3], is_dir));
}
