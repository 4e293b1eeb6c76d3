// child_process.cpp: child processes over pipes with fork/exec or CreateProcessW, side by side;
// the line reading and the helpers on top are shared.
#include "child_process.h"

#if _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
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

}  // namespace

#if _WIN32

namespace {

// Console output written in text mode ends its lines with CRLF; callers compare with LF.
void drop_carriage_returns(std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  text = std::move(out);
}

std::wstring to_wide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// One word of a command line as the C runtime splits it again: quoted, with backslashes doubled
// where they precede a quote.
void append_quoted(std::wstring& line, const std::wstring& word) {
  line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : word) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

void close_handle(void*& h) {
  if (h != nullptr) CloseHandle(static_cast<HANDLE>(h));
  h = nullptr;
}

// An anonymous pipe whose one end (CHILD_READS: the read end) the child inherits.
void make_pipe(HANDLE& parent_end, HANDLE& child_end, bool child_reads) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE r = nullptr;
  HANDLE w = nullptr;
  if (!CreatePipe(&r, &w, &sa, 0)) throw std::runtime_error("pipe failed");
  parent_end = child_reads ? w : r;
  child_end = child_reads ? r : w;
  SetHandleInformation(parent_end, HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

child_process::child_process(const std::string& program, const std::vector<std::string>& args) {
  HANDLE in_parent = nullptr, in_child = nullptr, out_parent = nullptr, out_child = nullptr,
         err_parent = nullptr, err_child = nullptr;
  make_pipe(in_parent, in_child, true);
  make_pipe(out_parent, out_child, false);
  make_pipe(err_parent, err_child, false);
  std::wstring line;
  append_quoted(line, to_wide(program));
  for (const std::string& a : args) {
    line += L' ';
    append_quoted(line, to_wide(a));
  }
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in_child;
  si.hStdOutput = out_child;
  si.hStdError = err_child;
  PROCESS_INFORMATION pi{};
  // Its own process group, so that a Ctrl+Break event can be aimed at the child alone.
  BOOL ok = CreateProcessW(to_wide(program).c_str(), line.data(), nullptr, nullptr, TRUE,
                           CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &si, &pi);
  CloseHandle(in_child);
  CloseHandle(out_child);
  CloseHandle(err_child);
  if (!ok) {
    CloseHandle(in_parent);
    CloseHandle(out_parent);
    CloseHandle(err_parent);
    throw std::runtime_error("cannot start " + program);
  }
  CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  pid_ = static_cast<int>(pi.dwProcessId);
  in_fd_ = in_parent;
  out_fd_ = out_parent;
  err_fd_ = err_parent;
}

child_process::~child_process() {
  close_handle(in_fd_);
  if (!reaped_ && process_ != nullptr) {
    TerminateProcess(static_cast<HANDLE>(process_), 137);
    WaitForSingleObject(static_cast<HANDLE>(process_), INFINITE);
  }
  close_handle(process_);
  close_handle(out_fd_);
  close_handle(err_fd_);
}

bool child_process::write(std::string_view bytes) {
  while (!bytes.empty()) {
    if (in_fd_ == nullptr) return false;
    DWORD n = 0;
    if (!WriteFile(static_cast<HANDLE>(in_fd_), bytes.data(), static_cast<DWORD>(bytes.size()), &n,
                   nullptr) ||
        n == 0)
      return false;
    bytes.remove_prefix(n);
  }
  return true;
}

void child_process::close_stdin() {
  close_handle(in_fd_);
}

void child_process::close_stdout() {
  close_handle(out_fd_);
}

// Anonymous pipes cannot be waited on; the pipe is looked at every few milliseconds instead.
bool child_process::pump(void* h, std::string& buf, int timeout_ms) {
  if (h == nullptr) return false;
  const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    DWORD avail = 0;
    if (!PeekNamedPipe(static_cast<HANDLE>(h), nullptr, 0, nullptr, &avail, nullptr)) return false;
    if (avail > 0) {
      char chunk[4096];
      DWORD n = 0;
      DWORD want = avail < sizeof chunk ? avail : static_cast<DWORD>(sizeof chunk);
      if (!ReadFile(static_cast<HANDLE>(h), chunk, want, &n, nullptr) || n == 0) return false;
      buf.append(chunk, n);
      return true;
    }
    if (ms_left(deadline) == 0) return true;  // nothing yet; the stream is still open
    Sleep(2);
  }
}

int child_process::finish(std::string& out, std::string& err, int timeout_ms) {
  const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
  close_stdin();
  while ((out_fd_ != nullptr || err_fd_ != nullptr) && ms_left(deadline) > 0) {
    if (out_fd_ != nullptr && !pump(out_fd_, out_buf_, 0)) close_handle(out_fd_);
    if (err_fd_ != nullptr && !pump(err_fd_, err_buf_, 0)) close_handle(err_fd_);
    Sleep(2);
  }
  out = std::move(out_buf_);
  err = std::move(err_buf_);
  out_buf_.clear();
  err_buf_.clear();
  drop_carriage_returns(out);
  drop_carriage_returns(err);
  return wait_exit(ms_left(deadline));
}

std::string child_process::read_stderr_to_end(int timeout_ms) {
  const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
  while (err_fd_ != nullptr && ms_left(deadline) > 0) {
    if (!pump(err_fd_, err_buf_, ms_left(deadline))) close_handle(err_fd_);
  }
  std::string text = std::move(err_buf_);
  err_buf_.clear();
  drop_carriage_returns(text);
  return text;
}

// Every stop signal becomes Ctrl+Break: Ctrl+C cannot be sent to another process group.
bool child_process::send_signal(int) {
  return !reaped_ && GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(pid_)) != 0;
}

int child_process::wait_exit(int timeout_ms) {
  if (!reaped_) {
    if (WaitForSingleObject(static_cast<HANDLE>(process_), static_cast<DWORD>(timeout_ms)) !=
        WAIT_OBJECT_0)
      return k_child_timed_out;
    DWORD code = 0;
    GetExitCodeProcess(static_cast<HANDLE>(process_), &code);
    status_ = static_cast<int>(code);
    reaped_ = true;
  }
  // Exception codes (0xC0000005 and the like) mark an abnormal end, as a signal does on POSIX.
  return static_cast<unsigned>(status_) <= 255 ? status_ : k_child_signalled_base;
}

bool child_process::wait_until_sleeping(int) {
  return true;  // no /proc here: nothing to wait for
}

std::string find_on_path(std::string_view program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return "";
  std::stringstream dirs{std::string(path)};
  std::string dir;
  while (std::getline(dirs, dir, ';')) {
    if (dir.empty()) continue;
    for (const char* ext : {".exe", ""}) {
      std::string candidate = dir + "\\" + std::string(program) + ext;
      std::error_code ec;
      if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
    }
  }
  return "";
}

#else

namespace {

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

void child_process::close_stdout() {
  close_fd(out_fd_);
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

#endif

// Shared: pump() is each system's own.
std::optional<std::string> child_process::read_line(int timeout_ms) {
  const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    size_t nl = out_buf_.find('\n');
    if (nl != std::string::npos) {
      std::string line = out_buf_.substr(0, nl);
      out_buf_.erase(0, nl + 1);
#if _WIN32
      if (!line.empty() && line.back() == '\r') line.pop_back();
#endif
      return line;
    }
    int left = ms_left(deadline);
    if (left == 0) return std::nullopt;
    if (!pump(out_fd_, out_buf_, left)) {
#if _WIN32
      close_handle(out_fd_);
#else
      close_fd(out_fd_);
#endif
      if (out_buf_.find('\n') == std::string::npos) return std::nullopt;
    }
  }
}

std::string kobas_bin() {
  const char* bin = std::getenv("KOBAS_BIN");
  if (bin == nullptr || *bin == '\0')
    throw std::runtime_error("KOBAS_BIN is not set: it names the executable under test");
  return bin;
}

run_result run_kobas(const std::vector<std::string>& args) {
  child_process child(kobas_bin(), args);
  run_result r{};
  r.status = child.finish(r.out, r.err);
  return r;
}
