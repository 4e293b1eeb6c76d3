// process_limits.cpp (Windows): sockets are not counted against a per-process descriptor limit
// that a program could raise, so there is nothing to ask for.
#include "process_limits.h"

void raise_open_files_limit() {}
