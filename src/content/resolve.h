// resolve.h: turns (root name, relative path) into one target inside the root. The only way
// from a request to the disk.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t RESOLVED_PATH_BYTES = 2048;  // every caller's out_path buffer

// 0 resolved (outputs written); 404 no such root, missing, escaping or a file root's foreign
// name; 400 or 404 from the safety test; negative internal failure. Sets the last error on
// failure but not on success. OUT_IS_DIR, OUT_SIZE (-1 for a folder), OUT_MTIME are optional.
int resolve_request(const char* name, const char* rel, char* out_path, size_t out_path_size,
                    int* out_is_dir, int64_t* out_size, int64_t* out_mtime);
// The folder-root half, given the root's stored path; same results (-1 for an empty root path).
int resolve_rel(const char* root_path, const char* rel, char* out_path, size_t out_path_size,
                int* out_is_dir, int64_t* out_size, int64_t* out_mtime);
