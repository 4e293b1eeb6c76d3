// stop_signals.h: how the serve command learns that it should stop. The interrupt signal (and the
// platform's second stop signal) set one flag that the console loop reads before every read, and
// a console that can no longer be written shows as a failed write; one implementation per
// operating system sits in cli/<os>/.
#pragma once

// Starts the server through kobas_start so that only the calling thread receives stop signals
// later (where the platform routes signals to threads), and returns its result.
int start_server();
// Runs START the same way, for a thread of the command's own, and returns its result.
int start_without_stop_signals(int (*start)());

// Installs the stop handlers. From then on, an interrupt sets the stop flag and does nothing else.
void install_stop_handlers();

// True once a stop signal has arrived; never cleared.
bool stop_requested();

// Makes a write to a standard output that nobody reads any more fail instead of ending the
// process, so the command notices and stops as after "quit". Call before the first write.
void keep_running_on_broken_pipe();

// Keeps the command serving when it runs in the background of a terminal ("serve ... &"): a
// read of the console from there fails instead of stopping the whole process, and the console
// loop tries again after its pause, so the console is read once the process is brought to the
// foreground. Writes to the terminal go on too, whatever its "tostop" setting says.
void keep_running_in_background();
