// main.cpp: the executable's entry point. It picks one command by the first word and the number
// of words after it, hands the run to that command and returns its status; every other case is a
// usage error. The commands themselves live beside this file.
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "utf8_args.h"

namespace {

// Written with fputs, byte for byte; no formatting touches it.
constexpr char k_usage_text[] =
    "usage:\n"
    "  tandrill-orbelwick-koba-http-file-server serve --bind IP [--port N] [--threads N]\n"
    "        [--name S] [--require-key KEY | --require-key-file PATH] [--access-log]\n"
    "        [--poll-every SECONDS] --root NAME=PATH [--root NAME=PATH...]\n"
    "        stdin: add NAME=PATH | remove NAME | roots | status | poll | activity | quit\n"
    "        without a key option, a non-empty KOBAS_KEY in the environment is the key\n"
    "  ... html NAME=PATH [RELPATH] | json NAME=PATH [RELPATH] [OFFSET LIMIT] | range HDR SIZE\n"
    "  ... safe RELPATH | mime FILE | href NAME RELPATH [dir] | version | selftest\n"
    "  ... --help | -h | --version\n";

bool any_count(int) {
  return true;
}
bool at_least_one(int n) {
  return n >= 1;
}
bool at_least_two(int n) {
  return n >= 2;
}
bool exactly_one(int n) {
  return n == 1;
}
bool exactly_two(int n) {
  return n == 2;
}

// serve takes only the words after its own, so it can be driven with an option list alone.
int run_serve(int argc, char** argv) {
  return cmd_serve(argc - 2, argv + 2);
}

struct command {
  const char* word;
  bool (*count_ok)(int words_after);
  int (*run)(int argc, char** argv);
};

int cmd_help(int, char**) {
  return help();
}

// Searched in this order; the first row with the same word decides, so a word whose count is
// wrong is a usage error even though no later row could have taken it anyway.
constexpr command k_commands[] = {
    {"serve", any_count, run_serve},
    {"version", any_count, cmd_version},
    {"selftest", any_count, cmd_selftest},
    {"html", at_least_one, cmd_html},
    {"json", at_least_one, cmd_json},
    {"range", exactly_two, cmd_range},
    {"safe", exactly_one, cmd_safe},
    {"mime", exactly_one, cmd_mime},
    {"href", at_least_two, cmd_href},
    // As people type them; the words after them are ignored, as after "version".
    {"--help", any_count, cmd_help},
    {"-h", any_count, cmd_help},
    {"--version", any_count, cmd_version},
};

}  // namespace

int usage() {
  std::fputs(k_usage_text, stderr);
  return 2;
}

int help() {
  std::fputs(k_usage_text, stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
  argv = utf8_args(argc, argv);
  if (argc < 2) return usage();
  const int words_after = argc - 2;
  for (const command& c : k_commands) {
    if (std::strcmp(c.word, argv[1]) != 0) continue;
    if (!c.count_ok(words_after)) break;
    return c.run(argc, argv);
  }
  return usage();
}
