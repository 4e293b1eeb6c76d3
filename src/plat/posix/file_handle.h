// file_handle.h: the POSIX file handle, shared by the file half and the socket half of the
// layer (the file-body send works on the descriptor), and the pieces of the file half that
// opening beneath a root reuses. Never included outside plat/posix.
#pragma once

#include <sys/stat.h>

#include "plat/plat.h"

struct plat_file {
  int fd;
};

// The layer's record from one stat of the target and whether the path itself is a link.
void fill_native_stat(const struct stat& st, bool is_link, plat_stat_rec* out);
// A folder handle reading the open folder descriptor FD, which it takes over (closed on
// failure); null on failure.
plat_dir* adopt_dir_fd(int fd);
