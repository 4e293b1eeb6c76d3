// Fuzzes the relative-path safety test: any text gets 0, 400 or 404, and a text it calls safe
// has no "." or ".." segment, no backslash and no control byte.
#include "util/path_safe.h"

#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string rel(reinterpret_cast<const char*>(data), size);
  int rc = path_is_safe(rel.c_str());
  if (rc != 0 && rc != 400 && rc != 404) __builtin_trap();
  if (rc != 0) return 0;
  std::string_view s(rel.c_str());  // the text the test saw ends at the first zero byte
  for (unsigned char c : s) {
    if (c < 0x20 || c == '\\') __builtin_trap();  // 0x7F and UTF-8 pass
  }
  size_t start = 0;
  while (start <= s.size()) {
    size_t end = s.find('/', start);
    if (end == std::string_view::npos) end = s.size();
    std::string_view seg = s.substr(start, end - start);
    if (seg == "." || seg == "..") __builtin_trap();
    start = end + 1;
  }
  return 0;
}
