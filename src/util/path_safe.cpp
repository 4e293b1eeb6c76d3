// path_safe.cpp: the textual test a relative path passes before resolution looks at the disk.
// It refuses what no file name needs (control bytes, backslashes, dot segments); containment
// inside the root is decided later, on the resolved path.
#include "util/path_safe.h"

#include <cstring>
#include <string_view>

namespace {

// Long enough for any real nested media path; bounds the work spent on a hostile one.
constexpr size_t max_rel_bytes = 4096;

}  // namespace

int path_is_safe(const char* rel) {
  if (rel == nullptr) return 400;
  const size_t n = strnlen(rel, max_rel_bytes + 1);
  if (n == 0) return 0;
  if (n > max_rel_bytes) return 400;
  const std::string_view text(rel, n);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == '\\') return 400;
  }
  size_t start = 0;
  while (start <= n) {
    size_t end = text.find('/', start);
    if (end == std::string_view::npos) end = n;
    const std::string_view seg = text.substr(start, end - start);
    if (seg == "." || seg == "..") return 404;
    start = end + 1;
  }
  return 0;
}
