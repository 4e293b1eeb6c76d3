// Fuzzes the query lookup: the first byte picks the output size, text up to the first '\n' is
// the parameter name, the rest the query. A found value always fits its buffer.
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  size_t nl = rest.find('\n');
  std::string name = nl == std::string::npos ? "format" : rest.substr(0, nl);
  std::string query = nl == std::string::npos ? rest : rest.substr(nl + 1);
  uint64_t out_size = 1 + data[0] % 32;
  char* out = static_cast<char*>(std::malloc(out_size));
  int rc = query_val(query.c_str(), name.c_str(), out, out_size);
  if (rc == 0 && std::memchr(out, 0, out_size) == nullptr) __builtin_trap();
  if (rc != 0 && rc != -1) __builtin_trap();
  std::free(out);
  return 0;
}
