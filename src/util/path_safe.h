// path_safe.h: the textual safety test a relative path passes before any file access.
#pragma once

// 0 safe ("" names the root itself); 400 absent, over 4,096 bytes, a control byte or a
// backslash; 404 a "." or ".." segment.
int path_is_safe(const char* rel);
