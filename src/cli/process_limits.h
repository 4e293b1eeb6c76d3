// process_limits.h: what the serve command asks of the operating system for itself. One
// implementation per operating system sits in cli/<os>/.
#pragma once

// Raises the soft limit on open files to the hard limit: every client that waits on the server
// holds a socket, and the server holds as many as the process may open. Best effort.
void raise_open_files_limit();
