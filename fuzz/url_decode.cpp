// Fuzzes percent-decoding into buffers of every small size, both '+' rules: never writes past
// the buffer, and a success reports a length that fits.
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/escape.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string src(reinterpret_cast<const char*>(data) + 1, size - 1);
  // Size 0 included: only the empty source may write there (its lone terminator).
  uint64_t out_size = data[0] % 64;
  char* dst = out_size > 0 ? static_cast<char*>(std::malloc(out_size)) : nullptr;
  char one = 0;
  for (int plus = 0; plus < 2; ++plus) {
    uint64_t len = 99;
    int rc = url_decode(src.c_str(), dst != nullptr ? dst : &one, out_size, plus, &len);
    if (rc == 0 && out_size > 0 && len >= out_size) __builtin_trap();
    if (rc != 0 && (rc != -1 || len != 0)) __builtin_trap();
  }
  std::free(dst);
  return 0;
}
