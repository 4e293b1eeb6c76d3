// utf8_args.h: the command line's words as UTF-8, whatever the system hands to main. One
// implementation per operating system sits in cli/<os>/.
#pragma once

// ARGV itself where main already receives the words as UTF-8 bytes (POSIX). Windows hands main
// its words in the ANSI code page, which cannot hold every file name, so there they are rebuilt
// from the wide command line into storage kept until the process ends; ARGV again if that fails.
char** utf8_args(int argc, char** argv);
