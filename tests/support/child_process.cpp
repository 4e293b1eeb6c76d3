#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

using steady = std::chrono::steady_clock;

int ms_left(steady::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// A test process writing to a child that has already gone must see an error, not die of SIGPIPE.
void ignore_sigpipe_once() {
  static const bool done = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)done;
}

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return k_child_signalled_base + WTERMSIG(status);
  return k_child_timed_out;
}

}  // namespace

child_process::child_process(const std::string& program, const std::vector<std::string>& args) {
  ignore_sigpipe_once();
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]), ::close(in[1]);
    throw std::runtime_error("pipe failed");
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(in[0]), ::close(in[1]), ::close(out[0]), ::close(out[1]);
    throw std::runtime_error("pipe failed");
  }
  // Built before the fork: between fork and exec only async-signal-safe calls are allowed.
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ < 0) {
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    // The child starts with default signal treatment and an empty mask, whatever the test
    // process changed for itself.
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  in_fd_ = in[1];
  out_fd_ = out[0];
  err_fd_ = err[0];
}

child_process::~child_process() {
  close_fd(in_fd_);
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
  }
  close_fd(out_fd_);
  close_fd(err_fd_);
}

bool child_process::write(std::string_view bytes) {
  while (!bytes.empty()) {
    if (in_fd_ < 0) return false;
    ssize_t n = ::write(in_fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void child_process::close_stdin() {
  close_fd(in_fd_);
}

bool child_process::pump(int fd, std::string& buf, int timeout_ms) {
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  int r = ::poll(&p, 1, timeout_ms);
  if (r <= 0) return true;  // nothing yet; the stream is still open
  char chunk[4096];
  ssize_t n = ::read(fd, chunk, sizeof chunk);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) return false;
  buf.append(chunk, static_cast<size_t>(n));
  return true;
}

std::optional<std::string> child_process::read_line(int timeout_ms) {
  const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    size_t nl = out_buf_.find('\n');
    if (nl != std::string::npos) {
      std::string line = out_buf_.substr(0, nl);
      out_buf_.erase(0, nl + 1);
      return line;
    }
    int left = ms_left(deadline);
    if (left == 0) return std::nullopt;
    if (!pump(out_fd_, out_buf_, left)) {
      close_fd(out_fd_);
      if (out_buf_.find('\n') == std::string::npos) return std::nullopt;
    }
  }
}

int child_process::finish(std::string& out, std::string& err, int timeout_ms) {
  const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
  close_stdin();
  while ((out_fd_ >= 0 || err_fd_ >= 0) && ms_left(deadline) > 0) {
    pollfd p[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (::poll(p, 2, ms_left(deadline)) <= 0) break;
    if (p[0].revents != 0 && !pump(out_fd_, out_buf_, 0)) close_fd(out_fd_);
    if (p[1].revents != 0 && !pump(err_fd_, err_buf_, 0)) close_fd(err_fd_);
  }
  out = std::move(out_buf_);
  err = std::move(err_buf_);
  out_buf_.clear();
  err_buf_.clear();
  return wait_exit(ms_left(deadline));
}

std::string child_process::read_stderr_to_end(int timeout_ms) {
  const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
  while (err_fd_ >= 0 && ms_left(deadline) > 0) {
    if (!pump(err_fd_, err_buf_, ms_left(deadline))) close_fd(err_fd_);
  }
  std::string text = std::move(err_buf_);
  err_buf_.clear();
  return text;
}

bool child_process::send_signal(int sig) {
  return !reaped_ && ::kill(pid_, sig) == 0;
}

int child_process::wait_exit(int timeout_ms) {
  const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
  while (!reaped_) {
    pid_t r = ::waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      break;
    }
    if (r < 0 && errno != EINTR) return k_child_timed_out;
    if (ms_left(deadline) == 0) return k_child_timed_out;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return decode_status(status_);
}

bool child_process::wait_until_sleeping(int timeout_ms) {
  const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
  const std::string stat_path = "/proc/" + std::to_string(pid_) + "/stat";
  for (;;) {
    std::ifstream in(stat_path);
    if (!in) return true;  // no /proc here: nothing to wait for
    std::string stat;
    std::getline(in, stat);
    // The state follows the command name in parentheses, which may itself hold spaces.
    size_t close_paren = stat.rfind(')');
    if (close_paren != std::string::npos && close_paren + 2 < stat.size() &&
        stat[close_paren + 2] == 'S')
      return true;
    if (ms_left(deadline) == 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string kobas_bin() {
  const char* bin = std::getenv("KOBAS_BIN");
  if (bin == nullptr || *bin == '\0')
    throw std::runtime_error("KOBAS_BIN is not set: it names the executable under test");
  return bin;
}

std::string find_on_path(std::string_view program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return "";
  std::stringstream dirs{std::string(path)};
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    std::string candidate = dir + "/" + std::string(program);
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

run_result run_kobas(const std::vector<std::string>& args) {
  child_process child(kobas_bin(), args);
  run_result r{};
  r.status = child.finish(r.out, r.err);
  return r;
}
