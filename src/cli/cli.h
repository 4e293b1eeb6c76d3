// cli.h: the commands of the executable, shared between the dispatcher and the files that run
// them. The command line is a thin client of kobas.h: it parses words, calls the library, prints
// the results and turns them into exit statuses. Only this layer writes to the standard streams.
#pragma once

#include <cstddef>

// Room for a root name taken from a NAME=PATH word: the command line admits up to 159 bytes and
// leaves the registry's own 128-byte rule to the registry, which words its refusal itself.
inline constexpr std::size_t k_root_name_bytes = 160;

// Writes the usage text to standard error and returns 2, the usage status.
int usage();
// Writes the usage text to standard output, where "--help | less" finds it, and returns 0 (1 when
// it could not be written).
int help();

enum class root_word { ok, malformed, name_too_long };

// Splits WORD at its first "=" into NAME (terminated, at most 159 bytes) and *PATH, pointing at
// the rest of WORD, whole: a cut path could name a parent folder, so its length is the registry's
// to judge. Writes nothing and returns MALFORMED when there is no "=" or "=" is the first byte,
// NAME_TOO_LONG when NAME is longer than 159 bytes.
root_word split_root_word(const char* word, char (&name)[k_root_name_bytes], const char** path);

// The number at the start of WORD as atoi reads it (leading blanks, one sign, digits up to the
// first other byte; no digits give 0), but never wrapped: a value beyond 64 bits saturates.
long long read_number(const char* word);
// read_number held to the int range; for values where a number beyond it means what the nearest
// int means (a page offset past the end, a page size outside 1..500, a non-zero flag).
int read_int_saturated(const char* word);

// Diagnostic commands. ARGV is the whole argument list (program name first); the dispatcher has
// already checked the number of words after the command word.
int cmd_version(int argc, char** argv);
int cmd_selftest(int argc, char** argv);
int cmd_range(int argc, char** argv);
int cmd_safe(int argc, char** argv);
int cmd_mime(int argc, char** argv);

// Listing commands, with the whole argument list as well.
int cmd_html(int argc, char** argv);
int cmd_json(int argc, char** argv);
int cmd_href(int argc, char** argv);

// Registers the root named by one NAME=PATH word and leaves its NAME in NAME. Returns 0, or -1
// after the usage text (malformed word) or a "root: MESSAGE" line (refused by the registry) has
// gone to standard error.
int cli_root(const char* word, char (&name)[k_root_name_bytes]);

// The serve command with the COUNT words that follow "serve". Returns 0 after an orderly stop,
// 1 when configuration, a root or the start is refused, 2 after the usage text.
int cmd_serve(int count, char** words);

// serve --access-log: switches the library's access records on and prints them as lines on
// standard error from a thread of the command's own. 0, or 1 after a line on standard error when
// that cannot start.
int start_access_lines();
// Ends that thread once it has printed every record queued so far; nothing when none runs.
void stop_access_lines();
