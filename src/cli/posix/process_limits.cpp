// process_limits.cpp (POSIX): the soft open-files limit is often 1,024 while the hard one allows
// far more; a file server that shares media with a household's devices wants the latter.
#include "process_limits.h"

#include <sys/resource.h>

void raise_open_files_limit() {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur >= r.rlim_max) return;
  r.rlim_cur = r.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &r);
}
