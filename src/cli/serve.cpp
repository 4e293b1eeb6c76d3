// serve.cpp: the serve command. It reads its options, configures and starts the server, registers
// the roots it was given, announces itself with one "listening" line and then answers control
// lines on standard input until "quit" or an interrupt, so a parent process can drive the server
// through pipes. Every path out after a successful start goes through kobas_stop.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "cli.h"
#include "console_wait.h"
#include "kobas.h"
#include "process_limits.h"
#include "stop_signals.h"
#include "utf8_args.h"

namespace {

// More roots than the registry's own limit would never be useful on one command line, and a fixed
// array keeps option reading free of allocation.
constexpr int k_max_root_words = 512;
// Wide enough for any 64-bit number written as decimal text.
constexpr std::size_t k_number_bytes = 24;
// One control line: at most 2,047 bytes and the terminator. A longer line is answered once with
// "?" as a whole; a piece of it must never run as a command of its own.
constexpr int k_control_line_bytes = 2048;
// How long the loop rests after a read that gave nothing (end of input, an interrupted read)
// before it looks at the stop flag again.
constexpr auto k_idle_wait = std::chrono::milliseconds(100);
// The interval of --poll-every, in seconds.
constexpr long long k_poll_every_min = 1;
constexpr long long k_poll_every_max = 3600;

// Change lines go out at once, so the parent sees them before the answer of the line whose poll
// pass found the change.
int on_change(const char* root_name, const char* detail, void*) {
  std::printf("change %s %s\n", root_name != nullptr ? root_name : "",
              detail != nullptr ? detail : "");
  return std::fflush(stdout);
}

struct serve_options {
  const char* bind = nullptr;
  // Held as read, so the configuration judges the whole number and refuses it in its own words.
  long long port = 3321;
  long long threads = 4;
  const char* name = nullptr;
  // At most one of the two: the key option given last wins, as any option given twice does.
  const char* key = nullptr;
  // Seconds between the passes the console runs itself; none without the option.
  bool poll_every_given = false;
  long long poll_every = 0;
  const char* key_file = nullptr;
  bool access_log = false;
  const char* roots[k_max_root_words] = {};
  int root_count = 0;
};

enum class options_read { ok, usage, help };

bool is_help_word(const char* word) {
  return std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0;
}

// Reads the words in pairs of option word and value, but for the flags, which stand alone; a
// value is never taken for an option word. USAGE when the words do not form a complete option
// set, HELP when a help word stands where an option word would.
options_read read_options(int count, char** words, serve_options& opt) {
  if (count == 0) return options_read::usage;
  for (int i = 0; i < count;) {
    const char* option = words[i];
    if (is_help_word(option)) return options_read::help;
    if (std::strcmp(option, "--access-log") == 0) {
      opt.access_log = true;
      ++i;
      continue;
    }
    if (i + 1 >= count) return options_read::usage;
    const char* value = words[i + 1];
    i += 2;
    if (std::strcmp(option, "--bind") == 0) {
      opt.bind = value;
    } else if (std::strcmp(option, "--port") == 0) {
      opt.port = read_number(value);
    } else if (std::strcmp(option, "--threads") == 0) {
      opt.threads = read_number(value);
    } else if (std::strcmp(option, "--name") == 0) {
      opt.name = value;
    } else if (std::strcmp(option, "--require-key") == 0) {
      opt.key = value;
      opt.key_file = nullptr;
    } else if (std::strcmp(option, "--require-key-file") == 0) {
      opt.key_file = value;
      opt.key = nullptr;
    } else if (std::strcmp(option, "--poll-every") == 0) {
      opt.poll_every = read_number(value);
      opt.poll_every_given = true;
    } else if (std::strcmp(option, "--root") == 0) {
      if (opt.root_count == k_max_root_words) return options_read::usage;
      opt.roots[opt.root_count++] = value;
    } else {
      return options_read::usage;
    }
  }
  return opt.bind != nullptr ? options_read::ok : options_read::usage;
}

// Room for a key file's first line: more than the longest key, so that a longer one reaches
// the configuration whole enough to be refused in its words rather than cut to fit.
constexpr int k_key_line_bytes = 256;

// The first line of the key file at PATH, without its line end (and without a UTF-8 byte-order
// mark, which Windows editors put first), into LINE. false, after a line on standard error,
// when the file cannot be read.
bool read_key_file(const char* path, char (&line)[k_key_line_bytes]) {
  std::FILE* f = open_utf8_for_reading(path);
  if (f == nullptr) {
    std::fprintf(stderr, "key: cannot read %s\n", path);
    return false;
  }
  const bool got = std::fgets(line, sizeof line, f) != nullptr;
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    std::fprintf(stderr, "key: cannot read %s\n", path);
    return false;
  }
  if (!got) line[0] = '\0';
  std::size_t len = std::strlen(line);
  while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r')) line[--len] = '\0';
  if (std::strncmp(line, "\xEF\xBB\xBF", 3) == 0) std::memmove(line, line + 3, len - 2);
  return true;
}

// The key from the command line, from its file, or from KOBAS_KEY, in that order of choice:
// null when none is given (no key is required), or KEY_LINE's text once the file was read.
// FAILED is set when the file could not be read.
const char* chosen_key(const serve_options& opt, char (&key_line)[k_key_line_bytes], bool* failed) {
  *failed = false;
  if (opt.key != nullptr) return opt.key;
  if (opt.key_file != nullptr) {
    if (!read_key_file(opt.key_file, key_line)) {
      *failed = true;
      return nullptr;
    }
    return key_line;
  }
  const char* from_env = env_utf8("KOBAS_KEY");
  return from_env != nullptr && from_env[0] != '\0' ? from_env : nullptr;
}

// Sets one configuration key; a refusal writes "LABEL: MESSAGE" to standard error.
bool config_or_report(const char* key, const char* value, const char* label) {
  if (kobas_config(key, value) == 0) return true;
  std::fprintf(stderr, "%s: %s\n", label, kobas_last_error());
  return false;
}

// Hands the options to the configuration in a fixed order; the first refusal ends the command.
bool configure(const serve_options& opt) {
  char number[k_number_bytes];
  if (!config_or_report("bind_ip", opt.bind, "bind_ip")) return false;
  std::snprintf(number, sizeof number, "%lld", opt.port);
  if (!config_or_report("port", number, "port")) return false;
  std::snprintf(number, sizeof number, "%lld", opt.threads);
  if (!config_or_report("threads", number, "threads")) return false;
  if (opt.name != nullptr && !config_or_report("server_name", opt.name, "name")) return false;
  char key_line[k_key_line_bytes];
  bool key_failed = false;
  const char* key = chosen_key(opt, key_line, &key_failed);
  if (key_failed) return false;
  if (key != nullptr) {
    if (!config_or_report("server_key", key, "key")) return false;
    // The key was accepted just before, so a refusal here has nothing useful to tell.
    if (kobas_config("require_key", "1") != 0) return false;
  }
  if (opt.poll_every_given &&
      (opt.poll_every < k_poll_every_min || opt.poll_every > k_poll_every_max)) {
    std::fputs("poll-every: 1..3600 seconds\n", stderr);
    return false;
  }
  return true;
}

bool register_roots(const serve_options& opt) {
  for (int i = 0; i < opt.root_count; ++i) {
    char name[k_root_name_bytes];
    const char* path = nullptr;
    if (split_root_word(opt.roots[i], name, &path) != root_word::ok) {
      std::fprintf(stderr, "root needs NAME=PATH: %s\n", opt.roots[i]);
      return false;
    }
    if (kobas_add_root(name, path) != 0) {
      std::fprintf(stderr, "root %s: %s\n", name, kobas_last_error());
      return false;
    }
  }
  return true;
}

// Removes line feeds, carriage returns and spaces from the end only; tabs and other control bytes
// stay, and so does anything at the front, so " quit" or "quit\t" are not commands.
void trim_line_end(char* line) {
  std::size_t len = std::strlen(line);
  while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r' || line[len - 1] == ' ')) {
    line[--len] = '\0';
  }
}

bool starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// "add NAME=PATH". A malformed word makes no registry call and is answered in the words the
// serve command uses for a malformed --root, not with whatever the previous call left behind; a
// name too long to hold is named as such, since the word itself is well formed.
void answer_add(const char* word) {
  char name[k_root_name_bytes];
  const char* path = nullptr;
  switch (split_root_word(word, name, &path)) {
    case root_word::malformed:
      std::puts("add -1 root needs NAME=PATH");
      return;
    case root_word::name_too_long:
      std::puts("add -1 root name too long");
      return;
    case root_word::ok:
      break;
  }
  const int rc = kobas_add_root(name, path);
  std::printf("add %d %s\n", rc, kobas_last_error());
}

enum class line_outcome { go_on, quit };

// Answers one trimmed control line on standard output.
line_outcome answer_line(const char* line) {
  if (std::strcmp(line, "quit") == 0) return line_outcome::quit;
  if (std::strcmp(line, "status") == 0) {
    const int running = kobas_is_running();
    const int port = kobas_port();
    const int roots = kobas_root_count();
    std::printf("running=%d port=%d roots=%d\n", running, port, roots);
  } else if (std::strcmp(line, "roots") == 0) {
    std::printf("%s\n", kobas_roots_json());
  } else if (std::strcmp(line, "poll") == 0) {
    kobas_poll_changes();
  } else if (std::strcmp(line, "activity") == 0) {
    std::printf("%s\n", kobas_activity_json());
  } else if (starts_with(line, "add ")) {
    answer_add(line + 4);
  } else if (starts_with(line, "remove ")) {
    // Everything after the one space is the name, leading spaces included.
    const int rc = kobas_remove_root(line + 7);
    std::printf("remove %d %s\n", rc, kobas_last_error());
  } else if (line[0] != '\0') {
    std::fputs("?\n", stdout);
  }
  std::fflush(stdout);
  return line_outcome::go_on;
}

// PARTIAL: the bytes there so far end before the line does (only when reading in steps).
enum class line_read { nothing, partial, line, refused };

// The control line being read. It survives a read that ends early, so a line the parent is
// still writing is never run in pieces.
struct console_input {
  char line[k_control_line_bytes];
  std::size_t len = 0;
  bool refused = false;  // too long or holding a zero byte: answered "?" once its end comes
};

// Reads on from where IN stopped until a line feed completes the line in IN.line, terminated
// and without its line feed. A line that does not fit, or that holds a zero byte (after which a
// command would read only part of it), is read to its end and reported as refused. End of input
// completes the line it cuts short, for no more of it can come. An interrupted read (a stop
// signal) or a failed one gives NOTHING and keeps what was read for the next call. IN_STEPS:
// reads only the bytes that are there, giving PARTIAL (and keeping them) when the line is not
// complete yet, so the caller is never held by a parent that writes half a line.
line_read read_control_line(console_input& in, bool in_steps) {
  int c = EOF;
  bool first = true;
  for (;;) {
    if (in_steps && !first && wait_for_console_input(0) <= 0) return line_read::partial;
    first = false;
    if ((c = std::getc(stdin)) == EOF || c == '\n') break;
    if (in.refused) continue;
    if (c == '\0' || in.len + 1 == sizeof in.line) {
      in.refused = true;
      continue;
    }
    in.line[in.len++] = static_cast<char>(c);
  }
  if (c == EOF && (!std::feof(stdin) || (in.len == 0 && !in.refused))) return line_read::nothing;
  in.line[in.len] = '\0';
  const bool refused = in.refused;
  in.len = 0;
  in.refused = false;
  return refused ? line_read::refused : line_read::line;
}

// True once standard output cannot be written: the parent no longer reads the console, so
// nobody could see an answer again.
bool console_gone() {
  return std::ferror(stdout) != 0;
}

// Runs until "quit", a stop signal or a console that can no longer be written. End of input
// does not end the loop: the server keeps serving, and the loop keeps looking at the flag
// between short rests. A line completed after a stop was asked for is dropped, not run. With
// POLL_EVERY seconds, a change pass runs at that interval between lines, on this thread, so its
// change lines never cut into an answer.
void console_loop(long long poll_every) {
  using clock = std::chrono::steady_clock;
  const auto interval = std::chrono::seconds(poll_every);
  auto next_pass = clock::now() + interval;
  console_input in;
  while (!stop_requested() && !console_gone()) {
    if (poll_every > 0) {
      const auto now = clock::now();
      if (now >= next_pass) {
        kobas_poll_changes();
        std::fflush(stdout);
        next_pass = now + interval;
        continue;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_pass - now);
      if (wait_for_console_input(static_cast<int>(left.count()) + 1) <= 0) continue;
    }
    const line_read got = read_control_line(in, poll_every > 0);
    if (stop_requested()) break;
    if (got == line_read::partial) continue;
    if (got == line_read::nothing) {
      // Clear end-of-input and the error of an interrupted read, so the next attempt reads anew.
      std::clearerr(stdin);
      std::this_thread::sleep_for(k_idle_wait);
      continue;
    }
    if (got == line_read::refused) {
      std::fputs("?\n", stdout);
      std::fflush(stdout);
      continue;
    }
    trim_line_end(in.line);
    if (answer_line(in.line) == line_outcome::quit) break;
  }
}

}  // namespace

int cmd_serve(int count, char** words) {
  serve_options opt;
  switch (read_options(count, words, opt)) {
    case options_read::usage:
      return usage();
    case options_read::help:
      return help();
    case options_read::ok:
      break;
  }
  keep_running_on_broken_pipe();
  keep_running_in_background();
  if (!configure(opt)) return 1;
  if (!register_roots(opt)) return 1;
  raise_open_files_limit();
  // Before the start, so that no answer goes unrecorded.
  if (opt.access_log && start_without_stop_signals(start_access_lines) != 0) return 1;
  if (start_server() != 0) {
    std::fprintf(stderr, "start: %s\n", kobas_last_error());
    stop_access_lines();
    return 1;
  }
  // The address is echoed as given, not as the configuration settled it.
  std::printf("listening %s:%d roots=%d version=%s\n", opt.bind, kobas_port(), kobas_root_count(),
              kobas_version());
  std::fflush(stdout);
  // Registered only now, so the passes run by the roots above printed nothing.
  kobas_on_change(on_change, nullptr);
  install_stop_handlers();
  // Bytes a buffered stream had taken would be invisible to the timed wait between passes.
  if (opt.poll_every > 0) std::setvbuf(stdin, nullptr, _IONBF, 0);
  console_loop(opt.poll_every);
  kobas_stop();
  stop_access_lines();
  return 0;
}
