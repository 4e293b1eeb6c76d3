// Fuzzes both listing renderers with arbitrary names: the input, split at zero bytes, becomes
// the entries (even lengths folders, odd ones files), the first two bytes cursor and limit.
// The pages must come out whole, and a name never reaches a page unescaped.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "content/listing.h"
#include "util/sb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  int offset = static_cast<int8_t>(data[0]);
  int limit = static_cast<int8_t>(data[1]);
  std::vector<dent> entries;
  const char* p = reinterpret_cast<const char*>(data) + 2;
  const char* end = reinterpret_cast<const char*>(data) + size;
  while (p < end && entries.size() < 64) {
    const char* z = static_cast<const char*>(std::memchr(p, 0, static_cast<size_t>(end - p)));
    size_t n = z != nullptr ? static_cast<size_t>(z - p) : static_cast<size_t>(end - p);
    std::string name(p, n);
    int is_dir = n % 2 == 0 ? 1 : 0;
    entries.push_back(dent{.name = strdup(name.c_str()),
                           .size = is_dir ? -1 : static_cast<int64_t>(n) << 40,
                           .mtime = static_cast<int64_t>(n) * 86400 * 365 - 1000,
                           .is_dir = is_dir});
    p += n + 1;
  }
  int count = static_cast<int>(entries.size());
  std::string rel(reinterpret_cast<const char*>(data) + 2, size > 40 ? 38 : size - 2);
  rel = rel.c_str();
  sb_owner html;
  if (render_html(html.get(), "root", rel.c_str(), entries.data(), count, count % 2) == 0) {
    std::string page(html.str(), html.len());
    if (page.size() != std::strlen(html.str())) __builtin_trap();  // no raw zero byte
    if (page.find("</html>\n") != page.size() - 8) __builtin_trap();
    // Every link is percent-encoded and every link text escaped: a name that broke out of
    // either would put a quote or an angle bracket where none may be.
    size_t rows = 0;
    for (size_t at = page.find("<a href=\"./"); at != std::string::npos;
         at = page.find("<a href=\"./", at + 1), ++rows) {
      size_t href_end = page.find("\">", at + 11);
      size_t text_end = page.find("</a>", href_end);
      if (href_end == std::string::npos || text_end == std::string::npos) __builtin_trap();
      for (size_t i = at + 11; i < href_end; ++i) {
        if (std::strchr("<>&\" ", page[i]) != nullptr) __builtin_trap();
      }
      for (size_t i = href_end + 2; i < text_end; ++i) {
        if (std::strchr("<>\"", page[i]) != nullptr) __builtin_trap();
      }
    }
    if (rows != entries.size()) __builtin_trap();
  }
  sb_owner json;
  if (render_json(json.get(), entries.data(), count, offset, limit) != 0) __builtin_trap();
  std::string js(json.str(), json.len());
  if (js.rfind("{\"items\":[", 0) != 0 || js.back() != '}') __builtin_trap();
  for (unsigned char c : js) {
    if (c < 0x20) __builtin_trap();  // control bytes are escaped in JSON strings
  }
  for (dent& e : entries) std::free(e.name);
  return 0;
}
