// last_error.h: the calling thread's result code and message of its last exported call.
// Exported functions clear it on entry (set_ok) and record a failure where it is detected.
#pragma once

inline constexpr int LAST_ERROR_BYTES = 512;  // message and terminator; longer texts are cut

void set_error(int code, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void set_ok();
int t_code_get();
char* t_err_get();  // the thread's buffer; valid while the thread lives
