// proc_usage.h: what this process holds from the system, for the tests that look for leaks:
// open descriptors (POSIX) or handles (Windows), and resident memory; and whether the Windows
// build runs under Wine, whose emulation departs from Windows in a few measurable ways.
#pragma once

#include <cstdint>

// Open descriptors (Linux: the entries of /proc/self/fd) or open handles (Windows); -1 when the
// system does not tell.
int open_descriptor_count();

// Resident memory in KiB (Linux: VmRSS; Windows: the working set); -1 when the system does not
// tell.
int64_t resident_kib();

// True when a Windows build runs under Wine (its ntdll exports wine_get_version); false on
// Windows itself and on every other system.
bool under_wine();
