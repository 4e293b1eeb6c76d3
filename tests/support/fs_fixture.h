// fs_fixture.h: throw-away folder trees for tests. Each temp_tree lives in its own fresh folder
// under TMPDIR and is removed with everything in it when the object goes away.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class temp_tree {
 public:
  temp_tree();
  ~temp_tree();
  temp_tree(const temp_tree&) = delete;
  temp_tree& operator=(const temp_tree&) = delete;

  const std::string& root() const { return root_; }
  std::string path(std::string_view rel) const;  // root + "/" + rel

  // Each creates missing parent folders and returns the full path.
  std::string file(std::string_view rel, std::string_view content = {});
  std::string dir(std::string_view rel);
  std::string symlink(std::string_view rel, const std::string& target);
  std::string fifo(std::string_view rel);
  // A sparse file of SIZE bytes (holes read as zeros).
  std::string sparse(std::string_view rel, int64_t size);
  void set_mtime(std::string_view rel, int64_t unix_s);
  void remove(std::string_view rel);  // file, link or whole folder

 private:
  std::string root_;
};

// The whole content of a file; "" when it cannot be read.
std::string read_file(const std::string& path);
