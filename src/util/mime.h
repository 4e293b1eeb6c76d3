// mime.h: the media type of a file name, from its extension.
#pragma once

#include <cstdint>

// Writes the media type of NAME into BUF (cut to BUF_SIZE - 1 bytes): the table's type for the
// extension (ASCII case ignored), else "application/octet-stream". Always 0.
int mime_lookup(const char* name, char* buf, uint64_t buf_size);
