// utf8_args.h: the command line's words, file names and environment as UTF-8, whatever the
// system hands to main. One implementation per operating system sits in cli/<os>/.
#pragma once

#include <cstdio>

// ARGV itself where main already receives the words as UTF-8 bytes (POSIX). Windows hands main
// its words in the ANSI code page, which cannot hold every file name, so there they are rebuilt
// from the wide command line into storage kept until the process ends; ARGV again if that fails.
char** utf8_args(int argc, char** argv);

// Opens the file named by the UTF-8 text PATH for reading bytes; null when it cannot be opened.
std::FILE* open_utf8_for_reading(const char* path);

// The value of the environment variable NAME as UTF-8, valid until the next call; null when it
// is not set.
const char* env_utf8(const char* name);
