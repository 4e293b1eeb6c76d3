// Fuzzes the Range grammar: the first 8 bytes are the resource size, the rest the header. A
// satisfiable answer must name a span inside the resource.
#include "server/range.h"

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  int64_t res_size = 0;
  std::memcpy(&res_size, data, 8);
  std::string header(reinterpret_cast<const char*>(data) + 8, size - 8);
  int64_t first = -5, last = -5;
  int partial = -5;
  int rc = range_parse(header.c_str(), res_size, &first, &last, &partial);
  if (rc == RANGE_OK && !(first >= 0 && first <= last && last < res_size)) __builtin_trap();
  if (rc != RANGE_OK && rc != RANGE_NONE && rc != RANGE_MALFORMED && rc != RANGE_UNSATISFIABLE) {
    __builtin_trap();
  }
  return 0;
}
