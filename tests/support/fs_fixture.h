// fs_fixture.h: throw-away folder trees for tests. Each temp_tree lives in its own fresh folder
// under TMPDIR (Windows: the user's temporary folder) and is removed with everything in it when
// the object goes away. Paths are UTF-8 and use the system's separator ("\\" on Windows).
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
  // root + separator + rel, with every "/" of REL written as the system's separator.
  std::string path(std::string_view rel) const;

  // Each creates missing parent folders and returns the full path.
  std::string file(std::string_view rel, std::string_view content = {});
  std::string dir(std::string_view rel);
  // TARGET is taken as written (relative to the link's folder unless absolute). Throws when the
  // system refuses; see symlinks_supported().
  std::string symlink(std::string_view rel, const std::string& target);
  std::string fifo(std::string_view rel);  // POSIX only: throws on Windows
  // A bound Unix socket's entry, left in place after the socket closes. POSIX only.
  std::string socket(std::string_view rel);
  // The 8.3 short name the system gives REL's last component ("" when it has none, and always
  // on POSIX).
  std::string short_name(std::string_view rel);
  // A sparse file of SIZE bytes (holes read as zeros).
  std::string sparse(std::string_view rel, int64_t size);
  // Sets the modification time of REL itself (not of a link's target); NS below the second is
  // kept as finely as the file system records it (100 ns on Windows).
  void set_mtime(std::string_view rel, int64_t unix_s, int32_t ns = 0);
  void remove(std::string_view rel);  // file, link or whole folder
  // Whether the system marks REL hidden (Windows' hidden or system attribute; Wine gives it to
  // names beginning with '.'), after marking it so when MAKE. Always false on POSIX.
  bool hidden(std::string_view rel, bool make = false);

 private:
  std::string root_;
};

// Whether this system lets the tests create symbolic links (Windows refuses them without a
// privilege or developer mode, and Wine may not support them). Probed once.
bool symlinks_supported();

// The system's path separator: what plat_realpath results and temp_tree paths use.
#if _WIN32
inline constexpr char k_sep = '\\';
#else
inline constexpr char k_sep = '/';
#endif

// The whole content of a file; "" when it cannot be read.
std::string read_file(const std::string& path);

// A path as it stands inside a JSON string: Windows paths carry backslashes, which JSON doubles.
inline std::string json_text(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '\\') out += '\\';
    out += c;
  }
  return out;
}
