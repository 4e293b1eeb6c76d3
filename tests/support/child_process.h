// child_process.h: runs a program (the kobas executable, or a tool such as curl) as a child with
// pipes on its standard input, output and error, so end-to-end tests can talk to it line by line.
// Every wait has a deadline, so a child that hangs fails a test in seconds instead of blocking it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// On Windows the child's console output arrives with CRLF line ends (the runtime's text mode);
// read_line and finish hand it over with plain LF, as on POSIX. Signals are delivered there as a
// Ctrl+Break event to the child's own process group, and exit codes are the process's exit code.

// Status values returned by wait_exit beside the exit codes 0..255.
inline constexpr int k_child_timed_out = -1;
inline constexpr int k_child_signalled_base = 128;  // 128 + signal number when killed by a signal

// Long enough for a sanitizer build on a busy two-core machine; short enough that a hang fails
// the test in seconds.
inline constexpr int k_child_wait_ms = 10000;

class child_process {
 public:
  // Starts PROGRAM with ARGS as its words after the program name. Throws std::runtime_error when
  // the pipes or the process cannot be created.
  child_process(const std::string& program, const std::vector<std::string>& args);
  // A child still running is killed (SIGKILL, TerminateProcess) and reaped; the pipes are closed.
  ~child_process();
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;

  int pid() const { return pid_; }

  // Writes BYTES to the child's standard input. False when the pipe is closed or broken.
  bool write(std::string_view bytes);
  void close_stdin();
  // Closes the parent's end of the child's standard output: the child's next write to it fails.
  void close_stdout();

  // The next complete line of standard output, without its line feed. Empty optional when the
  // line did not complete within TIMEOUT_MS or the output ended first.
  std::optional<std::string> read_line(int timeout_ms = k_child_wait_ms);

  // Closes standard input, collects standard output and error until both end and waits for the
  // exit. Returns the wait_exit status; the texts hold everything not yet read by read_line.
  int finish(std::string& out, std::string& err, int timeout_ms = k_child_wait_ms);

  // Everything the child writes to standard error until it closes it.
  std::string read_stderr_to_end(int timeout_ms = k_child_wait_ms);

  bool send_signal(int sig);

  // The exit code, k_child_signalled_base + signal when the child was killed by a signal, or
  // k_child_timed_out when it was still running after TIMEOUT_MS.
  int wait_exit(int timeout_ms = k_child_wait_ms);

  // Waits until the child's main thread sleeps in the kernel (on Linux, read from /proc), which
  // for a child that has just answered a line means it is blocked reading the next one. Returns
  // false when that did not happen within TIMEOUT_MS; elsewhere returns true at once.
  bool wait_until_sleeping(int timeout_ms = k_child_wait_ms);

 private:
  // Reads what is available from FD into BUF; waits at most TIMEOUT_MS. False at end of stream.

  int pid_ = -1;
  // pump() reads what is available from a pipe into BUF, waiting at most TIMEOUT_MS; false at the
  // end of the stream.
#if _WIN32
  // Pipe ends and the process as Windows handles (HANDLE values); null when closed.
  void* process_ = nullptr;
  void* in_fd_ = nullptr;
  void* out_fd_ = nullptr;
  void* err_fd_ = nullptr;
  bool pump(void* h, std::string& buf, int timeout_ms);
#else
  int in_fd_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  bool pump(int fd, std::string& buf, int timeout_ms);
#endif
  bool reaped_ = false;
  int status_ = 0;
  std::string out_buf_;
  std::string err_buf_;
};

// The path of the kobas executable, from the environment variable KOBAS_BIN that the test build
// sets for every test. Throws std::runtime_error when it is not set.
std::string kobas_bin();

// The full path of PROGRAM found on PATH, or "" when there is none.
std::string find_on_path(std::string_view program);

// Runs the kobas executable with ARGS and no input, to its end.
struct run_result {
  int status;
  std::string out;
  std::string err;
};
run_result run_kobas(const std::vector<std::string>& args);
