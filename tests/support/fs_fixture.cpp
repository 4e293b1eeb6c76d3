#include "fs_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

temp_tree::temp_tree() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kobas-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  // Tests compare resolved paths, so the tree's own name must already be resolved.
  root_ = fs::canonical(pattern).string();
}

temp_tree::~temp_tree() {
  std::error_code ec;
  fs::remove_all(root_, ec);
}

std::string temp_tree::path(std::string_view rel) const {
  return rel.empty() ? root_ : root_ + "/" + std::string(rel);
}

static void make_parent(const std::string& p) {
  fs::create_directories(fs::path(p).parent_path());
}

std::string temp_tree::file(std::string_view rel, std::string_view content) {
  std::string p = path(rel);
  make_parent(p);
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + p);
  return p;
}

std::string temp_tree::dir(std::string_view rel) {
  std::string p = path(rel);
  fs::create_directories(p);
  return p;
}

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

std::string temp_tree::sparse(std::string_view rel, int64_t size) {
  std::string p = file(rel);
  if (::truncate(p.c_str(), size) != 0) throw std::runtime_error("truncate failed " + p);
  return p;
}

void temp_tree::set_mtime(std::string_view rel, int64_t unix_s) {
  struct timespec ts[2];
  ts[0].tv_sec = ts[1].tv_sec = static_cast<time_t>(unix_s);
  ts[0].tv_nsec = ts[1].tv_nsec = 0;
  if (::utimensat(AT_FDCWD, path(rel).c_str(), ts, AT_SYMLINK_NOFOLLOW) != 0)
    throw std::runtime_error("utimensat failed");
}

void temp_tree::remove(std::string_view rel) {
  std::error_code ec;
  fs::remove_all(path(rel), ec);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
