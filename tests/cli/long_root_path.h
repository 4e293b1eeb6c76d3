// long_root_path.h: a root path that is too long for the registry and whose first 1,023 bytes
// name a real folder, for the tests that make sure no NAME=PATH word is cut to fit.
#pragma once

#include <string>

#include "fs_fixture.h"

// DIR followed by "." segments up to byte 1,023, then a missing name: 1,031 bytes in all. Cut
// to 1,023 bytes, it would name DIR itself.
inline std::string over_long_path_into(const std::string& dir) {
  std::string p = dir;
  while (p.size() + 2 <= 1023) p += std::string(1, k_sep) + ".";
  if (p.size() < 1023) p += k_sep;
  return p + k_sep + "missing";
}
