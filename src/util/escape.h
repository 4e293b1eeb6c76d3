// escape.h: escaping of names and request parts: HTML text, percent-encoding of one path
// segment, and percent-decoding. Text for people and programs is valid UTF-8 whatever bytes a
// name holds; links and decoding work on the bytes themselves.
#pragma once

#include <cstdint>

struct string_builder;

// The length (1 to 4) of the well-formed UTF-8 sequence that P begins (RFC 3629: no overlong
// forms, no surrogates, nothing past U+10FFFF), or 0 when it begins none. P is zero-terminated.
int utf8_sequence_length(const unsigned char* p);
inline constexpr const char* UTF8_REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD

// Appends S escaped as HTML text (both quotes and control bytes too), each byte that begins no
// well-formed UTF-8 sequence written as U+FFFD; null appends nothing.
void sb_html(string_builder* sb, const char* s);
// Appends S percent-encoded except RFC 3986 unreserved bytes ("/" is encoded). Always 0.
int sb_url_encode(string_builder* sb, const char* s);
// Decodes SRC into DST of SIZE bytes ('+' as space when PLUS_AS_SPACE). 0, or -1 for a null
// source, a bad escape or an output that does not fit (DST then unspecified, *OUT_LEN 0).
// *OUT_LEN, when given, receives the decoded length (embedded zero bytes counted).
int url_decode(const char* src, char* dst, uint64_t size, int plus_as_space, uint64_t* out_len);
