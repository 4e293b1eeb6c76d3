// Fuzzes the Range grammar: the first 8 bytes are the resource size, the rest the header. A
// satisfiable answer must name a span inside the resource, and a list must be answered exactly
// as its first range alone would be, so no answer is ever wider than its first range.
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
  // The header as the parser sees it ends at its first zero byte.
  const std::string seen(header.c_str());
  const size_t comma = seen.find(',');
  if (comma == std::string::npos || seen.size() < 6) return 0;
  int64_t alone_first = -5, alone_last = -5;
  int alone_partial = -5;
  // "bytes=" in whatever case the header used, then the first range alone.
  const std::string alone = seen.substr(0, comma);
  const int alone_rc =
      range_parse(alone.c_str(), res_size, &alone_first, &alone_last, &alone_partial);
  if (alone_rc == RANGE_NONE) return 0;  // the unit itself held the comma: nothing to compare
  if (rc != alone_rc || first != alone_first || last != alone_last) __builtin_trap();
  if (partial != (rc == RANGE_OK ? 1 : 0)) __builtin_trap();
  return 0;
}
