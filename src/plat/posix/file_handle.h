// file_handle.h: the POSIX file handle, shared by the file half and the socket half of the
// layer (the file-body send works on the descriptor). Never included outside plat/posix.
#pragma once

struct plat_file {
  int fd;
};
