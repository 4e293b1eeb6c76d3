// console_wait.cpp (Windows): a pipe is looked at with PeekNamedPipe (a pipe handle is not a
// waitable object), a console is looked at with a zero wait, a file is always ready. The wait goes
// in short slices so that a stop signal, handled on a thread of its own, ends it within one.
#include "console_wait.h"

#include <windows.h>

#include "stop_signals.h"

namespace {

constexpr DWORD k_slice_ms = 20;

// 1 a byte or the end (a broken pipe) is there, 0 not yet.
int pipe_ready(HANDLE h) {
  DWORD avail = 0;
  if (!PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr)) return 1;
  return avail > 0 ? 1 : 0;
}

}  // namespace

int wait_for_console_input(int timeout_ms) {
  HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  const DWORD type = h == nullptr || h == INVALID_HANDLE_VALUE ? FILE_TYPE_UNKNOWN : GetFileType(h);
  if (type != FILE_TYPE_PIPE && type != FILE_TYPE_CHAR) return 1;
  const ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  for (;;) {
    if (stop_requested()) return -1;
    if (type == FILE_TYPE_PIPE ? pipe_ready(h) != 0 : WaitForSingleObject(h, 0) == WAIT_OBJECT_0) {
      return 1;
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= until) return 0;
    Sleep(until - now < k_slice_ms ? static_cast<DWORD>(until - now) : k_slice_ms);
  }
}
