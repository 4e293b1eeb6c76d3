// last_error.cpp: the per-thread result code and message. Each thread gets its own zero-filled
// copy on first use; nothing here locks, allocates or touches another thread's state.
#include "util/last_error.h"

#include <cstdarg>
#include <cstdio>

#include "util/str.h"

namespace {

thread_local int t_code = 0;
thread_local char t_err[LAST_ERROR_BYTES] = {};

}  // namespace

void set_error(int code, const char* fmt, ...) {
  // The code first: it must hold even if formatting the message fails.
  t_code = code;
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(t_err, sizeof t_err, fmt, ap);
  va_end(ap);
  if (n < 0) {
    t_err[0] = '\0';
  } else if (static_cast<size_t>(n) >= sizeof t_err) {
    // Cut, and messages are UTF-8: a character the cut split is dropped whole.
    t_err[str_utf8_whole_len(t_err, sizeof t_err - 1)] = '\0';
  }
}

void set_ok() {
  t_code = 0;
  t_err[0] = '\0';
}

int t_code_get() {
  return t_code;
}

char* t_err_get() {
  return t_err;
}
