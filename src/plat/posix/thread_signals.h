// thread_signals.h: what the POSIX layer knows about the signal mask of the calling thread,
// shared by the thread starter and the file-body send. Never included outside plat/posix.
#pragma once

// True on threads started by plat_thread_start: they keep SIGPIPE blocked for their whole life,
// so a send to a peer that went away never needs the per-call mask dance.
bool sigpipe_blocked_for_life();
