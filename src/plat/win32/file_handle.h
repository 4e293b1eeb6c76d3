// file_handle.h: the Windows file handle, shared by the file half and the socket half of the
// layer (the file-body send reads through it). Never included outside plat/win32.
#pragma once

#include <windows.h>

struct plat_file {
  HANDLE h;
};
