// usage_text.h: the usage text the executable must print, written out once for every suite.
#pragma once

inline constexpr const char* k_usage =
    "usage:\n"
    "  tandrill-orbelwick-koba-http-file-server serve --bind IP [--port N] [--threads N]\n"
    "        [--name S] [--require-key KEY | --require-key-file PATH] [--access-log]\n"
    "        [--poll-every SECONDS] --root NAME=PATH [--root NAME=PATH...]\n"
    "        stdin: add NAME=PATH | remove NAME | roots | status | poll | activity | quit\n"
    "        without a key option, a non-empty KOBAS_KEY in the environment is the key\n"
    "  ... html NAME=PATH [RELPATH] | json NAME=PATH [RELPATH] [OFFSET LIMIT] | range HDR SIZE\n"
    "  ... safe RELPATH | mime FILE | href NAME RELPATH [dir] | version | selftest\n"
    "  ... --help | -h | --version\n";
