// fs_fixture.cpp: temporary trees on POSIX and on Windows, side by side. std::filesystem does
// what both systems share; links, FIFOs, times and the resolved root name need each system's own
// calls.
#include "fs_fixture.h"

#if _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

#if _WIN32

std::wstring to_wide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string to_utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

// A UTF-8 path as std::filesystem takes it (a narrow string would be read in the ANSI code page).
// Long paths get the "\\?\" prefix, which the classic parser needs beyond MAX_PATH.
fs::path os_path(const std::string& utf8) {
  std::wstring w = to_wide(utf8);
  if (w.size() >= MAX_PATH - 12 && w.rfind(L"\\\\?\\", 0) != 0 && w.size() > 2 && w[1] == L':')
    w = L"\\\\?\\" + w;
  return fs::path(w);
}

// The tree's own name as the system resolves it (final path, long names), so that tests can
// compare resolved paths with paths built from the root.
std::string final_name(const fs::path& p) {
  HANDLE h = CreateFileW(p.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open the temporary tree");
  std::wstring out(32768, L'\0');
  DWORD n = GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  CloseHandle(h);
  if (n == 0 || n >= out.size()) throw std::runtime_error("cannot resolve the temporary tree");
  out.resize(n);
  if (out.rfind(L"\\\\?\\", 0) == 0) out.erase(0, 4);
  return to_utf8(out);
}

std::string make_tree_root() {
  std::random_device rd;
  fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path p = base / ("kobas-test-" + std::to_string(rd()));
    if (fs::create_directory(p)) return final_name(p);
  }
  throw std::runtime_error("cannot create a temporary tree");
}

#else

fs::path os_path(const std::string& utf8) {
  return fs::path(utf8);
}

std::string make_tree_root() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kobas-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  // Tests compare resolved paths, so the tree's own name must already be resolved.
  return fs::canonical(pattern).string();
}

#endif

void make_parent(const std::string& p) {
  fs::create_directories(os_path(p).parent_path());
}

}  // namespace

temp_tree::temp_tree() : root_(make_tree_root()) {}

temp_tree::~temp_tree() {
  std::error_code ec;
  fs::remove_all(os_path(root_), ec);
}

std::string temp_tree::path(std::string_view rel) const {
  if (rel.empty()) return root_;
  std::string out = root_ + k_sep + std::string(rel);
  for (size_t i = root_.size(); i < out.size(); ++i) {
    if (out[i] == '/') out[i] = k_sep;
  }
  return out;
}

std::string temp_tree::file(std::string_view rel, std::string_view content) {
  std::string p = path(rel);
  make_parent(p);
  std::ofstream out(os_path(p), std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + p);
  return p;
}

std::string temp_tree::dir(std::string_view rel) {
  std::string p = path(rel);
  fs::create_directories(os_path(p));
  return p;
}

std::string temp_tree::sparse(std::string_view rel, int64_t size) {
  std::string p = file(rel);
  fs::resize_file(os_path(p), static_cast<uintmax_t>(size));
  return p;
}

void temp_tree::remove(std::string_view rel) {
  std::error_code ec;
  fs::remove_all(os_path(path(rel)), ec);
}

std::string read_file(const std::string& path) {
  std::ifstream in(os_path(path), std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

#if _WIN32

std::string temp_tree::symlink(std::string_view rel, const std::string& target) {
  std::string p = path(rel);
  make_parent(p);
  std::string written = target;
  for (char& c : written) {
    if (c == '/') c = '\\';
  }
  // A Windows link knows whether it leads to a folder; a missing target counts as a file.
  fs::path seen = os_path(written);
  if (seen.is_relative()) seen = os_path(p).parent_path() / seen;
  std::error_code ec;
  DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  if (fs::is_directory(seen, ec)) flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
  if (!CreateSymbolicLinkW(os_path(p).c_str(), to_wide(written).c_str(), flags))
    throw std::runtime_error("symlink failed " + p);
  return p;
}

std::string temp_tree::fifo(std::string_view rel) {
  throw std::runtime_error("no FIFOs on Windows: " + path(rel));
}

std::string temp_tree::socket(std::string_view rel) {
  throw std::runtime_error("no Unix sockets in these tests on Windows: " + path(rel));
}

std::string temp_tree::short_name(std::string_view rel) {
  const std::wstring p = os_path(path(rel));
  std::wstring out(32768, L'\0');
  const DWORD n = GetShortPathNameW(p.c_str(), out.data(), static_cast<DWORD>(out.size()));
  if (n == 0 || n >= out.size()) return {};
  out.resize(n);
  const fs::path last = fs::path(out).filename();
  if (last == os_path(path(rel)).filename()) return {};
  return to_utf8(last.wstring());
}

void temp_tree::set_mtime(std::string_view rel, int64_t unix_s, int32_t ns) {
  // FILETIME counts 100-nanosecond intervals since 1601-01-01.
  uint64_t ticks =
      static_cast<uint64_t>(unix_s + 11644473600) * 10000000u + static_cast<uint64_t>(ns / 100);
  FILETIME t{static_cast<DWORD>(ticks & 0xffffffffu), static_cast<DWORD>(ticks >> 32)};
  HANDLE h =
      CreateFileW(os_path(path(rel)).c_str(), FILE_WRITE_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open for times");
  BOOL ok = SetFileTime(h, nullptr, &t, &t);
  CloseHandle(h);
  if (!ok) throw std::runtime_error("SetFileTime failed");
}

bool temp_tree::hidden(std::string_view rel, bool make) {
  const std::wstring p = os_path(path(rel));
  DWORD attrs = GetFileAttributesW(p.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) throw std::runtime_error("no such entry: " + path(rel));
  if (make && !SetFileAttributesW(p.c_str(), attrs | FILE_ATTRIBUTE_HIDDEN)) {
    throw std::runtime_error("SetFileAttributesW failed");
  }
  return make || (attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
}

bool symlinks_supported() {
  static const bool supported = [] {
    try {
      temp_tree t;
      t.file("target.txt", "x");
      std::string link = t.symlink("link.txt", t.path("target.txt"));
      DWORD attrs = GetFileAttributesW(os_path(link).c_str());
      // A link the system made but does not show as a reparse point would test nothing.
      return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
             read_file(link) == "x";
    } catch (const std::exception&) {
      return false;
    }
  }();
  return supported;
}

#else

std::string temp_tree::symlink(std::string_view rel, const std::string& target) {
  std::string p = path(rel);
  make_parent(p);
  if (::symlink(target.c_str(), p.c_str()) != 0) throw std::runtime_error("symlink failed " + p);
  return p;
}

std::string temp_tree::fifo(std::string_view rel) {
  std::string p = path(rel);
  make_parent(p);
  if (::mkfifo(p.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed " + p);
  return p;
}

std::string temp_tree::socket(std::string_view rel) {
  std::string p = path(rel);
  make_parent(p);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (p.size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long " + p);
  std::memcpy(addr.sun_path, p.c_str(), p.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (fd >= 0) ::close(fd);
  if (!bound) throw std::runtime_error("cannot bind a socket at " + p);
  return p;
}

std::string temp_tree::short_name(std::string_view) {
  return {};
}

void temp_tree::set_mtime(std::string_view rel, int64_t unix_s, int32_t ns) {
  struct timespec ts[2];
  ts[0].tv_sec = ts[1].tv_sec = static_cast<time_t>(unix_s);
  ts[0].tv_nsec = ts[1].tv_nsec = ns;
  if (::utimensat(AT_FDCWD, path(rel).c_str(), ts, AT_SYMLINK_NOFOLLOW) != 0)
    throw std::runtime_error("utimensat failed");
}

bool temp_tree::hidden(std::string_view, bool) {
  return false;  // only a leading dot hides a name here
}

bool symlinks_supported() {
  return true;
}

#endif
