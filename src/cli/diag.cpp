// diag.cpp: the diagnostic commands version, selftest, range, safe and mime. They run the
// library's request primitives once on the given words and print what comes back; as commands
// they cannot fail (safe reports an unsafe path through its status).
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "cli.h"
#include "kobas.h"

namespace {

// -2 is no value the parser produces, so a line that still shows it would expose an output the
// parser forgot to write.
constexpr int64_t k_unset_position = -2;

}  // namespace

int cmd_version(int, char**) {
  std::printf("%s\n", kobas_version());
  return 0;
}

int cmd_selftest(int, char**) {
  int64_t first = k_unset_position;
  int64_t last = k_unset_position;
  int partial = 0;
  const int r = kobas_parse_range("bytes=0-99", 1000, &first, &last, &partial);
  // The media type is printed before any further call could reuse its buffer.
  const char* m = kobas_mime_for("x.mp4");
  std::printf("version=%s mime(mp4)=%s\n", kobas_version(), m);
  std::printf("range(0-99/1000)=%d a=%lld b=%lld\n", r, static_cast<long long>(first),
              static_cast<long long>(last));
  std::printf("safe(..)=%d\n", kobas_safe_rel(".."));
  return 0;
}

int cmd_range(int, char** argv) {
  // strtoll: leading blanks and a sign pass, digits stop at the first other byte, no digits give
  // 0 and out-of-range values clamp, so any word is a size and none is a usage error.
  const int64_t size = std::strtoll(argv[3], nullptr, 10);
  int64_t first = k_unset_position;
  int64_t last = k_unset_position;
  int partial = 0;
  const int r = kobas_parse_range(argv[2], size, &first, &last, &partial);
  std::printf("%d a=%lld b=%lld partial=%d\n", r, static_cast<long long>(first),
              static_cast<long long>(last), partial);
  return 0;
}

int cmd_safe(int, char** argv) {
  constexpr int k_status_unsafe = 3;
  const int r = kobas_safe_rel(argv[2]);
  std::printf("%d %s\n", r, kobas_last_error());
  return r != 0 ? k_status_unsafe : 0;
}

int cmd_mime(int, char** argv) {
  std::printf("%s\n", kobas_mime_for(argv[2]));
  return 0;
}
