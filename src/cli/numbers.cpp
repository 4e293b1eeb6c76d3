// numbers.cpp: the one reading of a number word on the command line. Words are read the way
// atoi reads them, so every word keeps the meaning it always had, but a value too large for an
// int is kept as it is instead of wrapping into another, acceptable one.
#include <climits>
#include <cstdlib>

#include "cli.h"

long long read_number(const char* word) {
  // strtoll saturates at the 64-bit limits, which lie outside every range a caller checks.
  return std::strtoll(word, nullptr, 10);
}

int read_int_saturated(const char* word) {
  const long long v = read_number(word);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}
