// console_wait.h: waiting for the console with a time limit, for a serve command that also runs
// change passes at an interval on the same thread. One implementation per operating system sits
// in cli/<os>/. Standard input must be unbuffered while this is used: bytes already taken into
// a stream's buffer are invisible to the wait.
#pragma once

// Waits at most TIMEOUT_MS (0: only looks) for standard input to have a byte or its end.
// 1 ready (a read will not wait, or will fail), 0 time-out, -1 cut short by a stop signal.
int wait_for_console_input(int timeout_ms);
