// stop_signals.h: how the serve command learns that it should stop. The interrupt signal (and the
// platform's second stop signal) set one flag that the console loop reads before every read; one
// implementation per operating system sits in cli/<os>/.
#pragma once

// Starts the server through kobas_start so that only the calling thread receives stop signals
// later (where the platform routes signals to threads), and returns its result.
int start_server();

// Installs the stop handlers. From then on, an interrupt sets the stop flag and does nothing else.
void install_stop_handlers();

// True once a stop signal has arrived; never cleared.
bool stop_requested();
