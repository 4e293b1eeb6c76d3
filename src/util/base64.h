// base64.h: decoding of base64 (RFC 4648 section 4, the standard alphabet), for the credentials
// of HTTP Basic authentication. Nothing here encodes: the server never sends base64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Decodes IN into OUT of OUT_SIZE bytes. Padding may be given ("YQ==") or left off ("YQ"), as
// clients differ; anything else is refused: a byte outside the alphabet (white space included),
// "=" anywhere but the end or more of it than the length calls for, a length that leaves a
// single character over, or left-over bits that are not zero (so one text decodes one way).
// Returns the decoded length (the bytes may hold zeros), or -1 when refused or when the result
// would not fit; OUT is then unspecified.
int64_t base64_decode(std::string_view in, unsigned char* out, size_t out_size);
